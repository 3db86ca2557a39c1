# The Python package (python/) against this build's library and simulators: each test file of
# python/tests runs in its own pytest process, as the module keeps globals. Debian's interpreter,
# not another one on PATH: the package is built and shipped for it. A sanitizer build's library
# cannot be loaded into an interpreter that lacks the sanitizer's runtime, so it is left out.
find_program(PM_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(PM_BUILD_TOOLS AND PM_SANITIZE STREQUAL "" AND PM_PYTHON3)
  file(GLOB PM_PYTHON_TESTS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/python/tests/test_*.py)
  foreach(file ${PM_PYTHON_TESTS})
    get_filename_component(name ${file} NAME_WE)
    add_test(NAME python_${name}
      COMMAND ${PM_PYTHON3} -m pytest -q -p no:cacheprovider -p portmdl.pytest_plugin ${file})
    set_tests_properties(python_${name} PROPERTIES LABELS slow TIMEOUT 300 ENVIRONMENT
      "PYTHONPATH=${PROJECT_SOURCE_DIR}/python;PYTHONDONTWRITEBYTECODE=1;PYTEST_DISABLE_PLUGIN_AUTOLOAD=1;PORTMDL_LIBRARY=$<TARGET_FILE:portmdl>;PORTMDL_TOOLS=$<TARGET_FILE_DIR:pmctl>:$<TARGET_FILE_DIR:pmsim-cable>:$<TARGET_FILE_DIR:portmdl-modemd>")
  endforeach()
endif()
