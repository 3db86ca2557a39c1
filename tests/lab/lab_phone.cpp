// lab-phone: the simulated phone of the lab machine, on the real stacks. It echoes every byte,
// answers "AT\r" with "\r\nOK\r\n" (the simulators' AtPhone, "+++" escapes included) and
// "BULK\r" with a mebibyte of known bytes (LabBulk.h) for the receive benchmark.
//   lab-phone tty PATH      the gadget side of the USB phone (/dev/ttyGS0); reopened after an
//                           unplug, so the phone answers again once plugged back
//   lab-phone bt ADDRESS    RFCOMM listeners on the controller ADDRESS with one SDP record each:
//                           channel 3 "Dial-up Networking", 4 "Bluetooth Serial Port" (both names
//                           the listing accepts), 5 "Serial Port" (one it skips) and 6 "COM0"
//                           (accepted, but nobody listens: its connects are refused); and the
//                           phone's user, who accepts every pairing (a BlueZ agent)
// Prints "ready" once it answers; runs until killed.
#include <bluetooth/bluetooth.h>
#include <bluetooth/rfcomm.h>
#include <bluetooth/sdp.h>
#include <bluetooth/sdp_lib.h>
#include <fcntl.h>
#include <poll.h>
#include <systemd/sd-bus.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "AtPhone.h"
#include "LabBulk.h"

namespace {

pmsim::AtPhone makePhone()
{
    pmsim::AtPhone phone;
    phone.SetEcho(true);
    phone.AddReply("AT\r", "\r\nOK\r\n");
    phone.AddReply(lab::kBulkRequest, lab::BulkPayload());
    return phone;
}

// At most this much per write. The kernel builds an RFCOMM socket write's whole chain of frames
// before it queues any of them, so a blocking write whose frames take more than the socket's send
// buffer waits for ever for room only those unsent frames hold: in the lab a 16 KiB write already
// stalls, a 4 KiB one passes.
constexpr size_t kWritePiece = 4096;

bool writeAll(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, std::min(kWritePiece, bytes.size() - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Plays the phone on fd until the link ends.
void serve(int fd)
{
    pmsim::AtPhone phone = makePhone();
    char buffer[4096];
    for (;;) {
        int wait = -1;
        if (auto due = phone.Due()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                *due - pmsim::AtPhone::Clock::now());
            wait = static_cast<int>(std::max<long long>(0, left.count()));
        }
        pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, wait);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0) {
            return;
        }
        auto now = pmsim::AtPhone::Clock::now();
        if (r == 0) {
            if (!writeAll(fd, phone.Tick(now))) {
                return;
            }
            continue;
        }
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0 || !writeAll(fd, phone.Receive(buffer, static_cast<size_t>(n), now))) {
            return;
        }
    }
}

int servetty(const char* path)
{
    bool announced = false;
    for (;;) {
        int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        termios t{};
        if (tcgetattr(fd, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
        }
        if (!announced) {
            std::puts("ready");
            std::fflush(stdout);
            announced = true;
        }
        serve(fd);
        close(fd);
        // Unplugged: the gadget's tty answers again once the host side is back.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

struct Service {
    uint8_t channel;
    const char* name;
};

// One record as a phone publishes a serial service: class and profile Serial Port, L2CAP and
// RFCOMM with its channel, the public browse group and the name.
bool registerRecord(sdp_session_t* session, const bdaddr_t& adapter, const Service& service)
{
    sdp_record_t* record = sdp_record_alloc();
    uuid_t root, serial, l2cap, rfcomm;
    sdp_uuid16_create(&root, PUBLIC_BROWSE_GROUP);
    sdp_uuid16_create(&serial, SERIAL_PORT_SVCLASS_ID);
    sdp_uuid16_create(&l2cap, L2CAP_UUID);
    sdp_uuid16_create(&rfcomm, RFCOMM_UUID);
    sdp_list_t* browse = sdp_list_append(nullptr, &root);
    sdp_set_browse_groups(record, browse);
    sdp_list_t* classes = sdp_list_append(nullptr, &serial);
    sdp_set_service_classes(record, classes);
    sdp_profile_desc_t profile;
    profile.uuid = serial;
    profile.version = 0x0100;
    sdp_list_t* profiles = sdp_list_append(nullptr, &profile);
    sdp_set_profile_descs(record, profiles);
    uint8_t channel = service.channel;
    sdp_data_t* channelData = sdp_data_alloc(SDP_UINT8, &channel);
    sdp_list_t* l2capList = sdp_list_append(nullptr, &l2cap);
    sdp_list_t* rfcommList = sdp_list_append(sdp_list_append(nullptr, &rfcomm), channelData);
    sdp_list_t* protocols = sdp_list_append(sdp_list_append(nullptr, l2capList), rfcommList);
    sdp_list_t* access = sdp_list_append(nullptr, protocols);
    sdp_set_access_protos(record, access);
    sdp_set_info_attr(record, service.name, "Lab", nullptr);
    bool ok = sdp_device_record_register(session, const_cast<bdaddr_t*>(&adapter), record, 0) == 0;
    sdp_data_free(channelData);
    sdp_list_free(l2capList, nullptr);
    sdp_list_free(rfcommList, nullptr);
    sdp_list_free(protocols, nullptr);
    sdp_list_free(access, nullptr);
    sdp_list_free(browse, nullptr);
    sdp_list_free(classes, nullptr);
    sdp_list_free(profiles, nullptr);
    return ok; // the record stays registered while the session is open
}

// The phone's user: BlueZ asks an agent to confirm a pairing the phone did not start, and fails
// it when none is registered. This one says yes to everything.
int acceptAll(sd_bus_message* m, void*, sd_bus_error*)
{
    const char* member = sd_bus_message_get_member(m);
    if (std::strcmp(member, "RequestPinCode") == 0) {
        return sd_bus_reply_method_return(m, "s", "0000");
    }
    if (std::strcmp(member, "RequestPasskey") == 0) {
        return sd_bus_reply_method_return(m, "u", 0u);
    }
    return sd_bus_reply_method_return(m, "");
}

const sd_bus_vtable kAgent[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Release", "", "", acceptAll, 0),
    SD_BUS_METHOD("RequestPinCode", "o", "s", acceptAll, 0),
    SD_BUS_METHOD("DisplayPinCode", "os", "", acceptAll, 0),
    SD_BUS_METHOD("RequestPasskey", "o", "u", acceptAll, 0),
    SD_BUS_METHOD("DisplayPasskey", "ouq", "", acceptAll, 0),
    SD_BUS_METHOD("RequestConfirmation", "ou", "", acceptAll, 0),
    SD_BUS_METHOD("RequestAuthorization", "o", "", acceptAll, 0),
    SD_BUS_METHOD("AuthorizeService", "os", "", acceptAll, 0),
    SD_BUS_METHOD("Cancel", "", "", acceptAll, 0),
    SD_BUS_VTABLE_END};

bool startAgent()
{
    sd_bus* bus = nullptr;
    const char path[] = "/lab/phone/agent";
    if (sd_bus_open_system(&bus) < 0 ||
        sd_bus_add_object_vtable(bus, nullptr, path, "org.bluez.Agent1", kAgent, nullptr) < 0) {
        return false;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    bool ok = sd_bus_call_method(bus, "org.bluez", "/org/bluez", "org.bluez.AgentManager1",
                                 "RegisterAgent", &error, nullptr, "os", path,
                                 "NoInputNoOutput") >= 0 &&
              sd_bus_call_method(bus, "org.bluez", "/org/bluez", "org.bluez.AgentManager1",
                                 "RequestDefaultAgent", &error, nullptr, "o", path) >= 0;
    if (!ok) {
        std::fprintf(stderr, "lab-phone: agent: %s\n", error.message);
        sd_bus_error_free(&error);
        return false;
    }
    std::thread([bus] {
        for (;;) {
            int r = sd_bus_process(bus, nullptr);
            if (r < 0) {
                return;
            }
            if (r == 0) {
                sd_bus_wait(bus, UINT64_MAX);
            }
        }
    }).detach();
    return true;
}

int servebt(const char* address)
{
    if (!startAgent()) {
        return 1;
    }
    bdaddr_t adapter;
    if (str2ba(address, &adapter) != 0) {
        std::fprintf(stderr, "lab-phone: not an address: %s\n", address);
        return 2;
    }
    const Service services[] = {
        {3, "Dial-up Networking"}, {4, "Bluetooth Serial Port"}, {5, "Serial Port"}, {6, "COM0"}};
    bdaddr_t any{}, local = {{0, 0, 0, 0xff, 0xff, 0xff}};
    sdp_session_t* session = sdp_connect(&any, &local, SDP_RETRY_IF_BUSY);
    if (session == nullptr) {
        std::perror("lab-phone: the local SDP server");
        return 1;
    }
    std::vector<int> listeners;
    for (const Service& s : services) {
        if (!registerRecord(session, adapter, s)) {
            std::fprintf(stderr, "lab-phone: record %s not registered\n", s.name);
            return 1;
        }
        if (s.channel == 6) {
            continue; // nobody listens: connects are refused
        }
        int fd = socket(AF_BLUETOOTH, SOCK_STREAM | SOCK_CLOEXEC, BTPROTO_RFCOMM);
        sockaddr_rc local{};
        local.rc_family = AF_BLUETOOTH;
        local.rc_bdaddr = adapter;
        local.rc_channel = s.channel;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            listen(fd, 4) != 0) {
            std::perror("lab-phone: RFCOMM listener");
            return 1;
        }
        listeners.push_back(fd);
    }
    std::puts("ready");
    std::fflush(stdout);
    std::vector<pollfd> polls;
    for (int fd : listeners) {
        polls.push_back({fd, POLLIN, 0});
    }
    for (;;) {
        if (poll(polls.data(), polls.size(), -1) < 0) {
            continue;
        }
        for (const pollfd& p : polls) {
            if (p.revents == 0) {
                continue;
            }
            int link = accept4(p.fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (link >= 0) {
                std::thread([link] {
                    serve(link);
                    close(link);
                }).detach();
            }
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "tty") == 0) {
        return servetty(argv[2]);
    }
    if (argc == 3 && std::strcmp(argv[1], "bt") == 0) {
        return servebt(argv[2]);
    }
    std::fprintf(stderr, "usage: lab-phone tty PATH | lab-phone bt ADDRESS\n");
    return 2;
}
