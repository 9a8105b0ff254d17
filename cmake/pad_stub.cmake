# Reports the stub's size, fails when it outgrows the package offset, and writes
# a copy padded with zeros to exactly that offset.
math(EXPR limit "${OFFSET}")
file(SIZE ${STUB} size)
math(EXPR room "${limit} - ${size}")
if(size GREATER limit)
  math(EXPR over "${size} - ${limit}")
  message(FATAL_ERROR "stub is ${size} bytes, ${over} over its budget of ${limit} bytes (the package starts at ${OFFSET})")
endif()
message(STATUS "stub: ${size} of ${limit} bytes (${room} bytes free)")
file(COPY_FILE ${STUB} ${PADDED})
execute_process(COMMAND sh -c "head -c ${room} /dev/zero >> '${PADDED}'" COMMAND_ERROR_IS_FATAL ANY)
