# Documentation that is built from code: the host guide's program is examples/host.c, and its
# claims name the tests that keep them true.
add_test(NAME docs_host_guide
  COMMAND ${CMAKE_COMMAND} -DGUIDE=${PROJECT_SOURCE_DIR}/docs/host-guide.md
          -DEXAMPLE=${PROJECT_SOURCE_DIR}/examples/host.c -DTESTS=${CMAKE_CURRENT_SOURCE_DIR}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/docs/CheckGuide.cmake)
set_tests_properties(docs_host_guide PROPERTIES LABELS fast)
