# Bluetooth as a user meets it with pmctl: the phone the set-up's scan found, listed before and after
# pairing (by address, then through the selector panel's stand-in), and talked to.
phone_path=/org/bluez/hci0/dev_${BT_PHONE//:/_}
phone_known || fail "the set-up's scan did not find the phone"

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
# Two paired devices in the lab (its one BlueZ also keeps the computer as the phone's peer), so
# the panel stands in as PM_BLUETOOTH_DEVICE names it.
run_ok "list through the panel" env PM_BLUETOOTH_DEVICE="$BT_PHONE" "$PMCTL" bt list
has "Dial-up Networking"

for channel in 0 1; do
    run_ok "talk on channel $channel" "$PMCTL" bt talk --address "$BT_PHONE" --channel "$channel" \
        send 'AT\r' recv 9
    has "41 54 0d 0d 0a 4f 4b 0d 0a"
done
