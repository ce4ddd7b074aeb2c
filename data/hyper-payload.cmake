# Included from src/image/CMakeLists.txt: builds the object library
# hyper_bootloader_payload, which holds the array generated from
# hyper_bootloader.bin. Regenerated whenever the file or the script changes.
set(HYPER_PAYLOAD_FILE ${PROJECT_SOURCE_DIR}/data/hyper_bootloader.bin)
set(HYPER_PAYLOAD_SOURCE ${CMAKE_CURRENT_BINARY_DIR}/hyper_bootloader_payload.cpp)

add_custom_command(
  OUTPUT ${HYPER_PAYLOAD_SOURCE}
  COMMAND ${CMAKE_COMMAND} -DPAYLOAD=${HYPER_PAYLOAD_FILE} -DOUTPUT=${HYPER_PAYLOAD_SOURCE} -DSIZE=35632
          -P ${PROJECT_SOURCE_DIR}/data/embed-payload.cmake
  DEPENDS ${HYPER_PAYLOAD_FILE} ${PROJECT_SOURCE_DIR}/data/embed-payload.cmake
  COMMENT "Embedding the hyper bootloader"
  VERBATIM)

# An object library of its own, so the generated source gets its build rule in
# this directory while its object still goes into update_core.
add_library(hyper_bootloader_payload OBJECT ${HYPER_PAYLOAD_SOURCE})
target_include_directories(hyper_bootloader_payload PRIVATE ${PROJECT_SOURCE_DIR}/src)
