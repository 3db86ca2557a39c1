# The USB phone as a user meets it with pmctl: its name from the real udev properties, opened by
# cable type and by name, an exchange, the control lines and line coding reaching the gadget.
name=usbmodem${USB_SERIAL}0 # the reduced serial number, then the interface number

run_ok "list -v" "$PMCTL" list -v
has "$name"
has "$USB_VID:$USB_PID"
has "$USB_SERIAL"
has "cdc_acm"
has "1002"

run_ok "udev properties" udevadm info -q property -n /dev/ttyACM0
has "ID_VENDOR_ID=$USB_VID"
has "ID_MODEL_ID=$USB_PID"
has "ID_SERIAL_SHORT=$USB_SERIAL"
ls /dev/serial/by-id/ | grep -q "$USB_SERIAL" || fail "no /dev/serial/by-id link"

run_ok "talk by cable type" "$PMCTL" talk --cable 1002 send 'AT\r' recv 9
has "41 54 0d 0d 0a 4f 4b 0d 0a"
# pmctl looks a name up by the file name of the listed device path.
run_ok "talk by name" "$PMCTL" talk --device ttyACM0 send 'AT\r' recv 9
has "41 54 0d 0d 0a 4f 4b 0d 0a"
run_ok "talk by path" "$PMCTL" talk --device "/dev/serial/by-id/$(ls /dev/serial/by-id/ | head -n1)" \
    send 'hello' recv 5
has "|hello|"

# The gadget cannot read the control lines by ioctl; its driver's debug output shows each request
# from the host: 21.20 sets the line coding, 21.22 the control lines (bit 0 DTR, bit 1 RTS).
# (Opening raises both lines and closing drops both, so only mixed settings show the steps' own.)
echo 'module usb_f_acm +p' >/sys/kernel/debug/dynamic_debug/control
dmesg -C
run_ok "speed, DTR only" "$PMCTL" talk --cable 1002 speed 9600 dtr on rts off send 'AT\r' recv 9
run_ok "the gadget's view" dmesg
has "req21.20"
has "req21.22 v0001"
dmesg -C
run_ok "RTS only" "$PMCTL" talk --cable 1002 dtr off rts on send 'AT\r' recv 9
run_ok "the gadget's view" dmesg
has "req21.22 v0002"
echo 'module usb_f_acm -p' >/sys/kernel/debug/dynamic_debug/control
