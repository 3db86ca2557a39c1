# The binary interface: the shared library exports exactly what the public header declares, each
# under a version node of the linker script, and the header stands alone as pedantic C99 and C++
# (a warning there fails the build).
add_test(NAME abi_exports
  COMMAND ${CMAKE_COMMAND} -DLIBRARY=$<TARGET_FILE:portmdl>
          -DHEADER=${PROJECT_SOURCE_DIR}/include/portmdl/PortMdl.h -DMAP=${PM_EXPORTS_MAP}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/abi/CheckExports.cmake)
set_tests_properties(abi_exports PROPERTIES LABELS fast)

set(PM_HEADER_FLAGS -Wall -Wextra -pedantic -Werror)
add_library(pm_header_c99 OBJECT abi/header_c99.c)
set_target_properties(pm_header_c99 PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
add_library(pm_header_cxx OBJECT abi/header_cxx.cpp)
set_target_properties(pm_header_cxx PROPERTIES CXX_STANDARD 11 CXX_EXTENSIONS OFF)
foreach(probe pm_header_c99 pm_header_cxx)
  target_compile_options(${probe} PRIVATE ${PM_HEADER_FLAGS})
  target_include_directories(${probe} PRIVATE ${PROJECT_SOURCE_DIR}/include)
endforeach()
