# The lab's stacks, sourced by guest.sh. setup_stacks writes /lab/env with what the tests need:
#   PMCTL, MODEMD, LAB_PHONE    the programs of the host's build
#   BT_COMPUTER, BT_PHONE       the addresses of hci0 (the computer) and hci1 (the phone)
#   USB_VID, USB_PID, USB_SERIAL, USB_UDC   the USB phone and the controller it is plugged into
# Each step waits for the state it needs, with a bound.

USB_VID=22b8
USB_PID=4902
USB_SERIAL=LAB0123456
GADGET=/sys/kernel/config/usb_gadget/phone

# wait_for SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds; 1 if time runs out.
wait_for() {
    local end=$(($(date +%s) + $1))
    shift
    until "$@"; do
        [ "$(date +%s)" -lt "$end" ] || return 1
        sleep 0.1
    done
}

adapter_address() { # hciN -> its address, as bluetoothd reports it
    busctl get-property org.bluez "/org/bluez/$1" org.bluez.Adapter1 Address 2>/dev/null |
        sed -n 's/^s "\(.*\)"$/\1/p'
}

# btvirt's controllers register only if they answer the kernel's reset in time; a missed one
# never comes, so btvirt is started again.
start_controllers() {
    local attempt
    for attempt in 1 2 3; do
        btvirt -l2 >/lab/btvirt.log 2>&1 &
        BTVIRT_PID=$!
        if wait_for 20 test -e /sys/class/bluetooth/hci1; then
            return 0
        fi
        kill "$BTVIRT_PID"
        wait "$BTVIRT_PID"
    done
    return 1
}

setup_bluetooth() {
    modprobe -a hci_vhci rfcomm af_alg algif_hash algif_skcipher cmac ecb || return 1
    mkdir -p /run/dbus /var/lib/bluetooth
    dbus-daemon --system --fork || return 1
    start_controllers || return 1
    # -C: the SDP server takes records from local programs (the phone's). JustWorksRepairing: a
    # "just works" pairing with a device the adapter still holds a key for goes to the agent (the
    # phone's user) instead of being refused. btvirt can leave the phone's side holding a key the
    # computer asked not to keep (once it has the phone's capabilities it stops asking the phone's
    # host for them), and the computer, holding none, pairs again on its next link.
    printf '[General]\nJustWorksRepairing = confirm\n' >/run/lab-bluetooth.conf
    /usr/libexec/bluetooth/bluetoothd -n -C -d -f /run/lab-bluetooth.conf \
        >/lab/bluetoothd.log 2>&1 &
    wait_for 30 test -n "$(adapter_address hci1)" || return 1
    local hci
    for hci in hci0 hci1; do
        busctl set-property org.bluez "/org/bluez/$hci" org.bluez.Adapter1 Powered b true ||
            return 1
    done
    busctl set-property org.bluez /org/bluez/hci1 org.bluez.Adapter1 Discoverable b true
    busctl set-property org.bluez /org/bluez/hci1 org.bluez.Adapter1 Pairable b true
    BT_COMPUTER=$(adapter_address hci0)
    BT_PHONE=$(adapter_address hci1)
    "$LAB_PHONE" bt "$BT_PHONE" >/lab/phone-bt.log 2>&1 &
    wait_for 30 grep -q ready /lab/phone-bt.log && discover_phone
}

phone_known() {
    busctl get-property org.bluez "/org/bluez/hci0/dev_${BT_PHONE//:/_}" org.bluez.Device1 Address \
        >/dev/null 2>&1
}

# The computer finds the phone as a user would, with bluetoothctl's scan; the phone is left
# discovered and not paired. Discovery lasts while the client that started it stays connected,
# so bluetoothctl keeps its session until the phone's object appears. discover_phone [LOG]
discover_phone() {
    {
        echo "scan on"
        wait_for 60 phone_known || true
        echo "scan off"
        sleep 1
    } | bluetoothctl >"${1:-/lab/scan.log}" 2>&1
    phone_known
}

# Both sides forget each other (a device object goes with its keys), then the computer finds the
# phone again: known, not paired, as after the set-up. Either side may know nothing to forget.
# A power cycle of the phone's controller ends its discoverable mode, so it is made visible first.
unpair_phone() {
    busctl set-property org.bluez /org/bluez/hci1 org.bluez.Adapter1 Discoverable b true
    busctl call org.bluez /org/bluez/hci0 org.bluez.Adapter1 RemoveDevice o \
        "/org/bluez/hci0/dev_${BT_PHONE//:/_}" 2>/dev/null
    busctl call org.bluez /org/bluez/hci1 org.bluez.Adapter1 RemoveDevice o \
        "/org/bluez/hci1/dev_${BT_COMPUTER//:/_}" 2>/dev/null
    wait_for 10 eval '! phone_known' && discover_phone /lab/rescan.log
}

plug_usb() { echo "$USB_UDC" >"$GADGET/UDC"; }
unplug_usb() { echo "" >"$GADGET/UDC"; }

setup_usb() {
    modprobe -a dummy_hcd libcomposite usb_f_acm cdc_acm || return 1
    mount -t configfs configfs /sys/kernel/config || return 1
    /usr/lib/systemd/systemd-udevd --daemon || return 1
    mkdir -p "$GADGET" || return 1
    echo "0x$USB_VID" >"$GADGET/idVendor"
    echo "0x$USB_PID" >"$GADGET/idProduct"
    mkdir -p "$GADGET/strings/0x409" "$GADGET/configs/c.1" "$GADGET/functions/acm.usb0"
    echo "Lab Phones" >"$GADGET/strings/0x409/manufacturer"
    echo "Lab Phone" >"$GADGET/strings/0x409/product"
    echo "$USB_SERIAL" >"$GADGET/strings/0x409/serialnumber"
    ln -s "$GADGET/functions/acm.usb0" "$GADGET/configs/c.1/"
    USB_UDC=$(ls /sys/class/udc | head -n1)
    plug_usb || return 1
    wait_for 60 test -e /dev/ttyACM0 || return 1
    udevadm settle --timeout=60
    "$LAB_PHONE" tty /dev/ttyGS0 >/lab/phone-usb.log 2>&1 &
    wait_for 30 grep -q ready /lab/phone-usb.log
}

setup_stacks() {
    local version
    version=$(uname -r)
    mkdir -p "/lib/modules/$version"
    mount --bind "$LAB_MODULES" "/lib/modules/$version" || return 1
    mount -t debugfs debugfs /sys/kernel/debug
    hostname lab
    PMCTL=$LAB_BUILD/tools/pmctl
    MODEMD=$LAB_BUILD/modemd/portmdl-modemd
    LAB_PHONE=$LAB_BUILD/tests/lab/lab-phone
    setup_bluetooth || return 1
    setup_usb || return 1
    cat >/lab/env <<ENV
export LAB_SOURCE='$LAB_SOURCE' LAB_BUILD='$LAB_BUILD' PMCTL='$PMCTL' MODEMD='$MODEMD'
export LAB_PHONE='$LAB_PHONE' BT_COMPUTER='$BT_COMPUTER' BT_PHONE='$BT_PHONE'
export USB_VID='$USB_VID' USB_PID='$USB_PID' USB_SERIAL='$USB_SERIAL' USB_UDC='$USB_UDC'
export GADGET='$GADGET'
ENV
}
