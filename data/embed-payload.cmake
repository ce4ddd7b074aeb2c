# Turns the hyper bootloader file into the C++ array hyperBootloaderPayload.
# Run at build time: cmake -DPAYLOAD=<file> -DOUTPUT=<cpp> -DSIZE=<bytes> -P embed-payload.cmake
# A file of any other size stops the build: the length field and the box's own
# loader expect exactly that many bytes.
foreach(required PAYLOAD OUTPUT SIZE)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "embed-payload.cmake: ${required} not given")
  endif()
endforeach()

if(NOT EXISTS "${PAYLOAD}")
  message(FATAL_ERROR "Hyper bootloader file missing: ${PAYLOAD}")
endif()
file(SIZE "${PAYLOAD}" actual)
if(NOT actual EQUAL SIZE)
  message(FATAL_ERROR "Hyper bootloader file ${PAYLOAD} has ${actual} bytes, must have exactly ${SIZE}")
endif()

file(READ "${PAYLOAD}" hex HEX)
# 16 bytes a line, each as 0xNN,
string(REGEX REPLACE "([0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f])"
       "\\1\n" lines "${hex}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${lines}")

file(WRITE "${OUTPUT}.tmp"
     "// Generated from ${PAYLOAD} at build time; do not edit.\n"
     "#include \"image/hyper_pad.h\"\n\n"
     "const std::uint8_t hyperBootloaderPayload[kHyperBootloaderSize] = {\n${bytes}};\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
