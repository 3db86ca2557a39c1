# The USB phone as a user meets it with pmctl: its name from the real udev properties, opened by
# cable type and by name, an exchange, the control lines and the line's rate reaching the gadget.
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
# from the host: 21.22 sets the control lines (bit 0 DTR, bit 1 RTS). (Opening raises both lines
# and closing drops both, so only mixed settings show the steps' own.)
echo 'module usb_f_acm +p' >/sys/kernel/debug/dynamic_debug/control
# Nor does the gadget show the line coding; a probe on its driver's SET_LINE_CODING handler
# (acm_complete_set_line_coding(ep, req)) reads the rate as the gadget takes it in: the first 4
# bytes of the request's buffer. The buffer is the request's first member (a), or its second (b)
# where the request begins with its endpoint (newer kernels, Debian's 6.1 among them): then the
# request's first word equals ep. Every open sets 600 bit/s and every close puts back the tty's
# earlier rate (9600 on a fresh ACM tty), so the step's rate is neither.
tracing=/sys/kernel/tracing
[ -e "$tracing/kprobe_events" ] || mount -t tracefs tracefs "$tracing"
probe='p:lab/line_coding acm_complete_set_line_coding ep=$arg1:x64 first=+0($arg2):x64'
probe+=' a=+0(+0($arg2)):u32 b=+0(+8($arg2)):u32'
echo "$probe" >>"$tracing/kprobe_events"
echo 1 >"$tracing/events/lab/line_coding/enable"
echo >"$tracing/trace"
dmesg -C
run_ok "speed, DTR only" "$PMCTL" talk --cable 1002 speed 57600 dtr on rts off send 'AT\r' recv 9
run_ok "the gadget's view" dmesg
has "req21.22 v0001"
run_ok "the rates the gadget took" awk '/ line_coding: / {
    for (i = 1; i <= NF; ++i) { split($i, kv, "="); v[kv[1]] = kv[2] }
    print "rate", (v["first"] == v["ep"] ? v["b"] : v["a"]) }' "$tracing/trace"
has "rate 57600"
echo 0 >"$tracing/events/lab/line_coding/enable"
echo '-:lab/line_coding' >>"$tracing/kprobe_events"
dmesg -C
run_ok "RTS only" "$PMCTL" talk --cable 1002 dtr off rts on send 'AT\r' recv 9
run_ok "the gadget's view" dmesg
has "req21.22 v0002"
echo 'module usb_f_acm -p' >/sys/kernel/debug/dynamic_debug/control
