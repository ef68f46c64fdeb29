# What a tree costs to build from nothing, as CI builds each of its trees: the Qt headers are
# most of the compile time of every window and test file, debug information a good part of the
# rest and of the links.

# Precompiled Qt headers, one set for the window rooms and one for the tests, each compiled once
# and shared by every target of its kind (the flags are the same within each kind). clang-tidy
# cannot read GCC's precompiled headers: scripts/check-tidy.sh leaves them out of its commands.
option(ORVELZIP_PCH "Precompile the Qt headers of the window rooms and the tests" ON)

# CI passes -g0 for the plain tree and -g1 (lines, for the sanitizers' reports) for the others;
# a developer's tree keeps the build type's full debug information.
set(ORVELZIP_DEBUG_INFO "" CACHE STRING "Debug information option that replaces the build type's -g (-g0, -g1)")
if(ORVELZIP_DEBUG_INFO)
  add_compile_options(${ORVELZIP_DEBUG_INFO})
endif()

# lld links the test programs and the room checks in a fraction of ld.bfd's time. The extractor
# programs set their own link options and keep the system linker.
find_program(OZ_LLD ld.lld)
if(OZ_LLD AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_link_options(-fuse-ld=lld)
endif()

# ccache caches a compile that uses a precompiled header only when told that its macros and time
# stamps may be trusted; without this every window and test file would miss the cache.
if(ORVELZIP_PCH AND CMAKE_CXX_COMPILER_LAUNCHER MATCHES "ccache")
  set(CMAKE_CXX_COMPILER_LAUNCHER env CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
      ${CMAKE_CXX_COMPILER_LAUNCHER})
  # and GCC must name the header in what it hands ccache (oz_share_precompiled_headers)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    set(OZ_PCH_OPTIONS -fpch-preprocess)
  endif()
endif()

set(OZ_PCH_WINDOWS <QApplication> <QCheckBox> <QCoreApplication> <QDir> <QFile> <QFileInfo> <QLabel> <QLineEdit>
    <QListWidget> <QMessageBox> <QProgressBar> <QPushButton> <QString> <QStringList> <QWidget>)
set(OZ_PCH_TESTS <QTest> <QTemporaryDir> ${OZ_PCH_WINDOWS})

# Every target of `directory` that links `donor` or `LINKS` (directly, or through a target already
# taken) uses the donor's precompiled `HEADERS`. Targets are visited in the order they were made,
# so a room is seen after the rooms below it.
function(oz_share_precompiled_headers directory donor)
  cmake_parse_arguments(PCH "" "" "LINKS;HEADERS" ${ARGN})
  if(NOT ORVELZIP_PCH)
    return()
  endif()
  target_precompile_headers(${donor} PRIVATE ${PCH_HEADERS})
  target_compile_options(${donor} PRIVATE ${OZ_PCH_OPTIONS})
  set(users ${donor} ${PCH_LINKS})
  get_property(targets DIRECTORY ${directory} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target ${targets})
    get_target_property(type ${target} TYPE)
    get_target_property(links ${target} LINK_LIBRARIES)
    # A room's check program is one empty file: loading the headers would cost more than it saves.
    if(target STREQUAL donor OR target MATCHES "^oz_room_check_" OR NOT type MATCHES "STATIC_LIBRARY|EXECUTABLE"
       OR NOT links)
      continue()
    endif()
    foreach(link ${links})
      if(link IN_LIST users)
        target_precompile_headers(${target} REUSE_FROM ${donor})
        target_compile_options(${target} PRIVATE ${OZ_PCH_OPTIONS})
        list(APPEND users ${target})
        # A program's moc output is in its own source file, which leaves the generated one empty.
        if(type STREQUAL "EXECUTABLE")
          get_target_property(binary_dir ${target} BINARY_DIR)
          set_source_files_properties(${binary_dir}/${target}_autogen/mocs_compilation.cpp TARGET_DIRECTORY ${target}
                                      PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
        endif()
        break()
      endif()
    endforeach()
  endforeach()
endfunction()
