# How every piece of the stub is compiled: for size, without exceptions, RTTI or unwind
# tables. The stub's own sources and the portable core both use these in the Windows trees.

# Size levers measured on the i686 image: procedures called once stay procedures (1.5 KB),
# and the 4-byte stack alignment that the platform guarantees is all that is kept.
set(STUB_SIZE_OPTIONS -Os -flto -fno-inline-functions-called-once)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  list(APPEND STUB_SIZE_OPTIONS -mpreferred-stack-boundary=2)
endif()
set(STUB_COMPILE_OPTIONS
  ${STUB_SIZE_OPTIONS} -ffat-lto-objects -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
  -fno-threadsafe-statics -fno-use-cxa-atexit -ffunction-sections -fdata-sections)
