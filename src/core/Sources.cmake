# The core's rooms and their sources, paths below src/: one list for the main build, the Linux
# extractor and the Windows extractor's cross-build. Each room builds only on the rooms before it
# in OZ_CORE_ROOMS, as its _BELOW list says.
#
#   write     the archive writer: records, workers, the output file
#   extract   the plan of names and folders, and the POSIX and Windows writers of entries
#   read      an entry's bytes: decryption, decompression, the checks of its data
#   format    the records as they are read, the constants of the format, names and their text
#   files     files made below a folder without following links, temporaries, atomic writes
#   crypto    AES, HMAC, PBKDF2, traditional encryption, random bytes
#   base      errors, reading and writing descriptors, little-endian numbers, UTF-16
#
# _SOURCES are built everywhere, _POSIX only on Linux, _WINDOWS only in the Windows extractor.
set(OZ_CORE_ROOMS base crypto files format read extract write)

set(OZ_CORE_base_SOURCES core/base/FileIo.cpp)
set(OZ_CORE_base_WINDOWS core/base/Utf16.cpp)
set(OZ_CORE_base_BELOW)

set(OZ_CORE_crypto_SOURCES core/crypto/Crypto.cpp)
set(OZ_CORE_crypto_POSIX core/crypto/CryptoNettle.cpp)
set(OZ_CORE_crypto_WINDOWS core/crypto/CryptoWindows.cpp)
set(OZ_CORE_crypto_BELOW base)

set(OZ_CORE_files_POSIX core/files/Beneath.cpp core/files/NewFile.cpp)
set(OZ_CORE_files_BELOW crypto base)

set(OZ_CORE_format_SOURCES core/format/Names.cpp core/format/NameText.cpp core/format/ZipFormat.cpp)
set(OZ_CORE_format_BELOW base)

set(OZ_CORE_read_SOURCES core/read/EntryReader.cpp core/read/Inflate64.cpp)
set(OZ_CORE_read_BELOW format crypto base)

set(OZ_CORE_extract_SOURCES core/extract/ExtractPlan.cpp core/extract/NamePlan.cpp)
set(OZ_CORE_extract_POSIX core/extract/Extract.cpp core/extract/WriteBehind.cpp)
set(OZ_CORE_extract_WINDOWS core/extract/ExtractWindows.cpp)
set(OZ_CORE_extract_BELOW read files format crypto base)

set(OZ_CORE_write_POSIX core/write/ChunkDeflater.cpp core/write/SmallFile.cpp core/write/SourceFiles.cpp
    core/write/WriteOutput.cpp core/write/ZipRecords.cpp core/write/ZipWriter.cpp)
set(OZ_CORE_write_BELOW format files crypto base)

# Every room's sources for one platform (POSIX or WINDOWS), in OZ_CORE_<platform>_ALL.
foreach(platform POSIX WINDOWS)
  set(OZ_CORE_${platform}_ALL)
  foreach(room ${OZ_CORE_ROOMS})
    list(APPEND OZ_CORE_${platform}_ALL ${OZ_CORE_${room}_SOURCES} ${OZ_CORE_${room}_${platform}})
  endforeach()
endforeach()
