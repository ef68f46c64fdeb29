# The receiver room's sources, paths below src/: one list for the main build, the Linux extractor
# and the Windows extractor's cross-build.
set(OZ_RECEIVER_SOURCES receiver/ProgramArguments.cpp receiver/Receiver.cpp receiver/ReceiverOptions.cpp
    receiver/SfxFormat.cpp)
# What a POSIX system needs: the terminal's questions and the temporary folder's calls.
set(OZ_RECEIVER_POSIX_SOURCES receiver/TemporaryFolderPosix.cpp receiver/Terminal.cpp)
set(OZ_RECEIVER_WINDOWS_SOURCES receiver/TemporaryFolderWindows.cpp)
