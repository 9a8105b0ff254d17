# How every piece of the stub is compiled: for size, without exceptions, RTTI or unwind
# tables. The stub's own sources and the portable core both use these in the Windows trees.

# Size levers measured on the i686 image: procedures called once stay procedures (1.5 KB).
# On i686 also: the 4-byte stack alignment that the platform guarantees is all that is kept,
# and no stack probes, without which calls push their arguments instead of storing them into
# a frame reserved in advance (1.9 KB). A frame of a page or more (the difference body's 32 KB
# slice) would then step over the guard page, so every i686 program of the tree commits its
# whole stack when the thread starts. No frame pointer (450 bytes).
set(STUB_SIZE_OPTIONS -Oz -flto -fno-inline-functions-called-once)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  list(APPEND STUB_SIZE_OPTIONS -mpreferred-stack-boundary=2 -mno-stack-arg-probe -fomit-frame-pointer)
  add_link_options("SHELL:-Xlinker --stack -Xlinker 0x100000,0x100000")
endif()
set(STUB_COMPILE_OPTIONS
  ${STUB_SIZE_OPTIONS} -ffat-lto-objects -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
  -fno-threadsafe-statics -fno-use-cxa-atexit -ffunction-sections -fdata-sections)
