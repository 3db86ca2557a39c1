# Calls from several threads on each transport, bounded sends and closes, and the clock under a
# stepped wall clock and signals.
pm_add_test(test_port_threads SOURCES test_port_threads.cpp LABELS slow threaded
            LIBS pmsim nlohmann_json::nlohmann_json)
pm_add_test(test_serial_bounds SOURCES test_serial_bounds.cpp LABELS fast threaded)
pm_add_test(test_queue_small_pipes SOURCES test_queue_small_pipes.cpp LABELS fast threaded)
# Replaces operator new for the whole program, so it runs alone.
pm_add_test(test_alloc_failure SOURCES test_alloc_failure.cpp LABELS fast)
pm_add_test(test_clock_robust SOURCES test_clock_robust.cpp LABELS fast threaded)

# A short run of the soak tool: open/close cycles with exchanges must leave no descriptor, thread
# or heap growth behind.
if(NOT TARGET pmsoak)
  add_executable(pmsoak ${PROJECT_SOURCE_DIR}/bench/soak.cpp)
  target_link_libraries(pmsoak PRIVATE portmdl_internal pmsim)
  target_include_directories(pmsoak PRIVATE ${PROJECT_SOURCE_DIR}/tests) # ProcessCounts.h
endif()
add_test(NAME SoakShortRun COMMAND pmsoak --cycles 20 --exchanges 10)
set_tests_properties(SoakShortRun PROPERTIES LABELS slow TIMEOUT 300)

# The library loaded with dlopen, as a host loads it: built apart from the module's objects, so
# that every symbol comes from the loaded file.
add_executable(test_unload test_unload.cpp)
target_link_libraries(test_unload PRIVATE GTest::gtest GTest::gtest_main pmsim ${CMAKE_DL_LIBS})
target_include_directories(test_unload PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(test_unload PRIVATE PM_LIBRARY_PATH="$<TARGET_FILE:portmdl>")
add_dependencies(test_unload portmdl)
gtest_discover_tests(test_unload DISCOVERY_TIMEOUT 60 PROPERTIES LABELS fast TIMEOUT 300)
