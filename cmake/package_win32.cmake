# The integrator's archive, teldrv-<version>-win32.zip (cmake --build
# build/windows --target package): the DLL, the tools, an example init file
# and station gate file, the manual, the Wireshark dissector and a short
# README.txt. Included last, so that every tool target already exists.
install(FILES $<TARGET_FILE:teldrv> DESTINATION .)
# The tools run the driver with the simulated host runtime, which they keep
# beside them: tools/KORPRO.DLL is the simulation's, never the host's.
# teldrv-station --modem loads ../teldrv.dll; the other runs load
# teldrv-sim.dll, the driver on the simulated platform.
if(TELDRV_BUILD_TOOLS)
  install(PROGRAMS $<TARGET_FILE:teldrv-station> $<TARGET_FILE:teldrv-central> $<TARGET_FILE:teldrv-gates>
          DESTINATION tools)
  install(FILES $<TARGET_FILE:teldrv-sim> $<TARGET_FILE:korpro> $<TARGET_FILE:teldrvsim> DESTINATION tools)
endif()

# The gate file is binary: written at build time by the gates tool's own
# writer, compiled for the build machine, since a Windows program cannot run
# here.
find_program(TELDRV_BUILD_CXX NAMES g++ c++ REQUIRED)
set(gate_writer ${CMAKE_BINARY_DIR}/packaging/write_gate_file)
set(example_gates ${CMAKE_BINARY_DIR}/packaging/07_GATES.DAT)
add_custom_command(OUTPUT ${gate_writer}
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
                   COMMAND ${TELDRV_BUILD_CXX} -std=c++20 -Wall -Wextra -Werror -I${CMAKE_SOURCE_DIR}
                           ${CMAKE_SOURCE_DIR}/packaging/write_gate_file.cpp -o ${gate_writer}
                   DEPENDS ${CMAKE_SOURCE_DIR}/packaging/write_gate_file.cpp ${CMAKE_SOURCE_DIR}/tools/shared/gate_file.h
                           ${CMAKE_SOURCE_DIR}/config/station_gates.h ${CMAKE_SOURCE_DIR}/common/byte_order.h
                   VERBATIM)
add_custom_command(OUTPUT ${example_gates}
                   COMMAND ${gate_writer} 7 ${CMAKE_SOURCE_DIR}/examples/07_gates.txt ${example_gates}
                   DEPENDS ${gate_writer} ${CMAKE_SOURCE_DIR}/examples/07_gates.txt VERBATIM)
add_custom_target(teldrv_example_gates ALL DEPENDS ${example_gates})

# The text files with Windows' line ends, for Notepad and the like (the
# driver and the tools take either).
configure_file(${CMAKE_SOURCE_DIR}/packaging/README.txt.in ${CMAKE_BINARY_DIR}/packaging/README.txt @ONLY
               NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_BINARY_DIR}/packaging/README.txt DESTINATION .)
foreach(example TELDRV01.INT 07_gates.txt)
  configure_file(${CMAKE_SOURCE_DIR}/examples/${example} ${CMAKE_BINARY_DIR}/packaging/examples/${example} @ONLY
                 NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/examples/${example} DESTINATION examples)
endforeach()
install(FILES ${example_gates} DESTINATION examples)

# The archive is a release: optimised, and linked without debug sections
# (cmake/toolchain-mingw32.cmake); windows_package refuses any other.
if(NOT CMAKE_BUILD_TYPE STREQUAL "Release")
  message(WARNING "The Windows archive wants a release build; configure with -DCMAKE_BUILD_TYPE=Release "
                  "(this one is '${CMAKE_BUILD_TYPE}'): windows_package fails on binaries with debug sections.")
endif()
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION docs FILES_MATCHING PATTERN "*.md" PATTERN "*.png")
# The link's dissector, for the engineer's own Wireshark (docs/capture.md).
install(FILES ${CMAKE_SOURCE_DIR}/tools/wireshark/teldrv.lua DESTINATION tools/wireshark)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME teldrv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME teldrv-${PROJECT_VERSION}-win32)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
