# pmctl: the log reader on logs the module wrote (whole and damaged), the step syntax and text
# helpers; the module's reader thread and the cable simulator run in these tests.
pm_add_test(test_pmctl SOURCES test_pmctl.cpp LABELS fast threaded LIBS pmctl_core pmsim)
# --usb VID:PID[:SERIAL]: the identity and the device it picks from a device list.
pm_add_test(test_pmctl_usb SOURCES test_pmctl_usb.cpp LABELS fast LIBS pmctl_core)
# The program itself, run as a user runs it: the demo's AT dialogues take about 15 s.
pm_add_test(test_pmctl_cli SOURCES test_pmctl_cli.cpp LABELS slow threaded LIBS pmsim)
target_compile_definitions(test_pmctl_cli PRIVATE PMCTL_BINARY="$<TARGET_FILE:pmctl>"
                           PMSIM_CABLE_BINARY="$<TARGET_FILE:pmsim-cable>")
add_dependencies(test_pmctl_cli pmctl pmsim-cable)
# Waiting for a phone (talk --wait, term --wait) on a simulated cable that is unplugged and back.
pm_add_test(test_pmctl_wait SOURCES test_pmctl_wait.cpp LABELS slow threaded LIBS pmsim)
target_compile_definitions(test_pmctl_wait PRIVATE PMCTL_BINARY="$<TARGET_FILE:pmctl>")
add_dependencies(test_pmctl_wait pmctl)
# The HTML page of a log: its rows, escaping, and a whole page for any input.
pm_add_test(test_pmctl_html SOURCES test_pmctl_html.cpp LABELS fast threaded LIBS pmctl_core pmsim)
# The page in headless Chromium (dev.sh installs it): the DOM it built and a screenshot.
find_package(PNG REQUIRED)
pm_add_test(test_pmctl_browser SOURCES test_pmctl_browser.cpp LABELS slow
            LIBS pmctl_core pmsim PNG::PNG)
target_compile_definitions(test_pmctl_browser PRIVATE PMCTL_BINARY="$<TARGET_FILE:pmctl>")
add_dependencies(test_pmctl_browser pmctl)
# The log as JSON Lines: every event reads back the same.
pm_add_test(test_pmctl_json SOURCES test_pmctl_json.cpp LABELS fast LIBS pmctl_core pmsim)
