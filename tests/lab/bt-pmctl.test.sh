# Bluetooth as a user meets it with pmctl: the phone found by a scan, listed before and after
# pairing (by address, then through the selector panel's stand-in), and talked to.
phone_path=/org/bluez/hci0/dev_${BT_PHONE//:/_}
phone_known() {
    busctl get-property org.bluez "$phone_path" org.bluez.Device1 Address >/dev/null 2>&1
}

# Discovery lasts while the client that started it stays connected, so bluetoothctl keeps its
# session until the phone's object appears.
{
    echo "scan on"
    wait_for 60 phone_known || true
    echo "scan off"
    sleep 1
} | bluetoothctl >/dev/null 2>&1
phone_known || fail "the scan did not find the phone"

run_ok devices "$PMCTL" bt devices
has "$BT_PHONE"

# Not paired yet: the phone answers SDP and RFCOMM all the same.
run_ok "list, not paired" "$PMCTL" bt list --address "$BT_PHONE" --log "$PWD"
has "Dial-up Networking"
has "Bluetooth Serial Port"
has "COM0"
run_ok "the listing's log" "$PMCTL" log "$PWD"
has "Service Name"
has "Serial Port"
has "Matched Service!"

run_ok pair busctl call --timeout=60 org.bluez "$phone_path" org.bluez.Device1 Pair
run_ok "devices, paired" "$PMCTL" bt devices
# The only paired device stands in for the selector panel.
run_ok "list through the panel" "$PMCTL" bt list
has "Dial-up Networking"

for channel in 0 1; do
    run_ok "talk on channel $channel" "$PMCTL" bt talk --address "$BT_PHONE" --channel "$channel" \
        send 'AT\r' recv 9
    has "41 54 0d 0d 0a 4f 4b 0d 0a"
done
