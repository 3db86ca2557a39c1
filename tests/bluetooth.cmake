# Bluetooth against the simulated world: the transport, the data elements, world files and the
# open's retries take no pauses; the stack's threads deliver the data.
pm_add_test(test_bluetooth SOURCES test_bluetooth.cpp LABELS fast threaded
            LIBS nlohmann_json::nlohmann_json)
target_compile_definitions(test_bluetooth PRIVATE
                           PM_EXAMPLE_WORLD="${PROJECT_SOURCE_DIR}/sim/bluetooth-world.example.json")
# Listings and opens end to end: SDP waits, connection attempts and the baseband's closing pause.
pm_add_test(test_bluetooth_slow SOURCES test_bluetooth_slow.cpp LABELS slow threaded
            LIBS nlohmann_json::nlohmann_json pmctl_core)
# pmctl bt as a user runs it: each listing takes about 2.5 s.
pm_add_test(test_pmctl_bt SOURCES test_pmctl_bt.cpp LABELS slow LIBS pmsim)
target_compile_definitions(test_pmctl_bt PRIVATE PMCTL_BINARY="$<TARGET_FILE:pmctl>")
add_dependencies(test_pmctl_bt pmctl)
if(PM_WITH_BLUETOOTH)
  # SDP records of libbluetooth converted for the real stack's backend.
  pm_add_test(test_bluez_records SOURCES test_bluez_records.cpp LABELS fast
              LIBS nlohmann_json::nlohmann_json PkgConfig::BLUEZ)
  # The BlueZ backend: its D-Bus side against python3-dbusmock's bluez5 template on a private bus,
  # and whole listings on this kernel, which has no Bluetooth (a 2-second closing pause).
  pm_add_test(test_bluez_devices SOURCES test_bluez_devices.cpp LABELS slow threaded
              LIBS PkgConfig::SYSTEMD pmsim)
  target_compile_definitions(test_bluez_devices PRIVATE PMCTL_BINARY="$<TARGET_FILE:pmctl>")
  add_dependencies(test_bluez_devices pmctl)
endif()
