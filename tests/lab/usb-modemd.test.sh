# portmdl-modemd --usb serving cable type 5 on the USB phone, through an unplug and a replug, and
# the udev rules of contrib/ matching the phone.
plane=$PWD/plane
"$MODEMD" --usb "$USB_VID:$USB_PID:$USB_SERIAL" --plane "$plane" 2>modemd.log &
modemd=$!
trap 'kill $modemd 2>/dev/null; wait $modemd 2>/dev/null; cat modemd.log' EXIT
export PM_USERCLIENT_DIR=$plane
wait_for 30 test -S "$plane/ORVUDSCDMADriver" || fail "the daemon does not serve its plane"

run_ok "cable type 5" "$PMCTL" talk --cable 5 send 'AT\r' recv 9
has "41 54 0d 0d 0a 4f 4b 0d 0a"

unplug_usb
wait_for 30 test ! -e /dev/ttyACM0 || fail "the tty stayed after the unplug"
run_fails "cable type 5, unplugged" "$PMCTL" talk --cable 5 --timeout 2000 send 'AT\r' recv 9
plug_usb
wait_for 60 test -e /dev/ttyACM0 || fail "the tty did not come back"
udevadm settle --timeout=60
run_ok "cable type 5, plugged back" "$PMCTL" talk --cable 5 send 'AT\r' recv 9
has "41 54 0d 0d 0a 4f 4b 0d 0a"
kill -0 $modemd || fail "the daemon ended"

# The rules: a phone tagged as the rule files tell the administrator to, then the properties.
mkdir -p /etc/udev/rules.d
echo "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"$USB_VID\", ATTRS{idProduct}==\"$USB_PID\", ENV{PORTMDL_MODEMD}=\"1\"" \
    >/etc/udev/rules.d/59-lab-phone.rules
cp "$LAB_SOURCE"/contrib/*.rules /etc/udev/rules.d/
udevadm control --reload
udevadm trigger --subsystem-match=tty --settle
run_ok "the rules' properties" udevadm info -q property -n /dev/ttyACM0
has "ID_MM_DEVICE_IGNORE=1"
has "PORTMDL_MODEMD=1"
has "SYSTEMD_WANTS=portmdl-modemd@ttyACM0.service"
