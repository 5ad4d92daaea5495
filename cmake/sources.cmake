# Library sources, relative to the project root. Shared by the main build and
# the fuzzing build (fuzz/), which compiles them with its own flags.
set(ZELJBIG_CORE
  frame/jpgLib.cpp frame/jbgBIH.cpp frame/jbgPat.cpp frame/jbgResReduce.cpp frame/jbgDpTable.cpp frame/jbgGrey.cpp
  frame/jbgError.cpp
  encoder/jbgCBase.cpp encoder/jbgCBS.cpp encoder/jbgCDiff.cpp encoder/jbgCQM.cpp encoder/jbgCAt.cpp encoder/jbgCBuffer.cpp encoder/jbgCStream.cpp
  decoder/jbgDBase.cpp decoder/jbgDBS.cpp decoder/jbgDQM.cpp decoder/jbgDReader.cpp decoder/jbgDStream.cpp
  windows/jbgWinDib.cpp windows/jbgWinBitmap.cpp windows/jbgAbi.cpp
  patinfo/jbgDPat.cpp)
# Stand-ins for the Win32 services on other systems.
set(ZELJBIG_PLATFORM platform/memory.cpp platform/files.cpp platform/gdi.cpp)
