// Choosing a Bluetooth device (by a known address or in the selector panel) and listing its
// usable RFCOMM channels: the services whose name is one of the known serial or dial-up names.
#include <iconv.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "CommBaseBluetooth.h"
#include "portmdl/PortMdl.h"

namespace {

const char* const kServiceNames[] = {
    "Dial-Up Networking Gateway", "Dialup Networking Gateway", "Dial-up Networking",
    "BT DIAG",                    "Bluetooth Modem",           "Dial-up networking",
    "Nokia PC Suite",             "Dial-up networking Gateway", "Bluetooth Serial Port",
    "Dial-Up Networking Ga",      "Phonebook Sync",            "COM0",
};

constexpr int kSDPPasses = 3;
constexpr int kWaitSteps = 10;
constexpr uint32_t kWaitStepMs = 500;
constexpr int kConnectAttempts = 10;
constexpr uint32_t kConnectPauseMs = 1000;
constexpr size_t kNameBufferSize = 512;
constexpr uint32_t kServiceNameAttribute = 256;
const char kWaitText[] = "Please wait...";
const char kWaitAlert[] = "Still looking for SDP. Please wait a second...";

// Raised by the stack's thread when a query completes, polled by the listing. It lives with the
// module, so a query that completes after its listing gave up writes to valid memory.
std::atomic<uint8_t> g_bSDPDone{0};

// Whether a close asked for on another thread ended the listing (used under the port lock).
bool g_bListingClosed = false;

bool isNoDevice(const unsigned char* address)
{
    bool zeros = true, ones = true;
    for (int i = 0; i < 6; ++i) {
        zeros = zeros && address[i] == 0x00;
        ones = ones && address[i] == 0xFF;
    }
    return zeros || ones;
}

// The alert, telling whether it could be shown at all.
int runOkCancelAlert(const char* text, bool& shown)
{
    shown = false;
    if (text == nullptr) {
        return 0;
    }
    BluetoothPlatform& bt = Bluetooth();
    AlertStdCFStringAlertParamRec params{};
    if (bt.GetStandardAlertDefaultParams(&params, kStdCFStringAlertVersionOne) != 0) {
        return 0;
    }
    params.movable = true;
    params.showCancel = true;
    params.cancelButton = kAlertStdAlertCancelButton;
    DialogRef dialog = nullptr;
    if (bt.CreateStandardAlert(kAlertPlainAlert, text, nullptr, &params, &dialog) != 0) {
        return 0;
    }
    int16_t item = 0;
    if (bt.RunStandardAlert(dialog, nullptr, &item) != 0) {
        return 0;
    }
    shown = true;
    return item == kAlertStdAlertOKButton ? 1 : 0;
}

// Text as MacRoman, cut to length - 1 bytes and terminated. A character MacRoman lacks (or a byte
// that is no UTF-8) becomes '?', so such a name matches no known service.
void renderMacRoman(const std::string& text, char* buffer, int length)
{
    size_t room = static_cast<size_t>(length) - 1;
    size_t used = 0;
    iconv_t cd = iconv_open("MACINTOSH", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        for (unsigned char c : text) {
            if (used == room) {
                break;
            }
            buffer[used++] = c < 0x80 ? static_cast<char>(c) : '?';
        }
        buffer[used] = '\0';
        return;
    }
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    while (inLeft > 0 && used < room) {
        char* out = buffer + used;
        size_t outLeft = room - used;
        size_t r = iconv(cd, &in, &inLeft, &out, &outLeft);
        used = room - outLeft;
        if (r != static_cast<size_t>(-1) || errno == E2BIG) {
            break;
        }
        // An unconvertible character or a broken sequence: one '?', then the next character.
        buffer[used++] = '?';
        size_t skip = 1;
        while (skip < inLeft && (static_cast<unsigned char>(in[skip]) & 0xC0) == 0x80) {
            ++skip;
        }
        in += skip;
        inLeft -= skip;
    }
    iconv_close(cd);
    buffer[used] = '\0';
}

} // namespace

void EI_CommBaseBluetooth::callbackSDPQuery(void* flag, BluetoothRef /*device*/, int /*status*/)
{
    if (flag != nullptr) {
        static_cast<std::atomic<uint8_t>*>(flag)->store(1);
    }
}

int EI_CommBaseBluetooth::okCancelAlert(const char* text)
{
    bool shown = false;
    return runOkCancelAlert(text, shown);
}

void EI_CommBaseBluetooth::dumpDataElement(BluetoothRef element, char* buffer, int length)
{
    if (buffer == nullptr || length <= 0) {
        return;
    }
    BluetoothPlatform& bt = Bluetooth();
    switch (bt.IOBluetoothSDPDataElementGetTypeDescriptor(element)) {
    case kBluetoothSDPDataElementTypeUnsignedInt:
    case kBluetoothSDPDataElementTypeSignedInt:
    case kBluetoothSDPDataElementTypeBoolean: {
        auto value = static_cast<int32_t>(
            static_cast<uint32_t>(bt.IOBluetoothSDPDataElementGetNumberValue(element)));
        snprintf(buffer, static_cast<size_t>(length), "%d", value);
        break;
    }
    case kBluetoothSDPDataElementTypeUUID: {
        std::span<const uint8_t> bytes =
            bt.IOBluetoothSDPUUIDGetBytes(bt.IOBluetoothSDPDataElementGetUUIDValue(element));
        size_t n = 0;
        while (n < bytes.size() && n + 1 < static_cast<size_t>(length) && bytes[n] != 0) {
            buffer[n] = static_cast<char>(bytes[n]);
            ++n;
        }
        buffer[n] = '\0';
        break;
    }
    case kBluetoothSDPDataElementTypeString:
    case kBluetoothSDPDataElementTypeURL: {
        const std::string* text = bt.IOBluetoothSDPDataElementGetStringValue(element);
        renderMacRoman(text != nullptr ? *text : std::string(), buffer, length);
        break;
    }
    case kBluetoothSDPDataElementTypeDataElementSequence:
    case kBluetoothSDPDataElementTypeDataElementAlternative: {
        buffer[0] = '\0';
        const BluetoothRefList* members = bt.IOBluetoothSDPDataElementGetArrayValue(element);
        if (members == nullptr) {
            break;
        }
        size_t used = 0;
        for (size_t i = 0; i < members->size(); ++i) {
            size_t room = static_cast<size_t>(length) - used;
            int n = snprintf(buffer + used, room, i == 0 ? "0x%lx" : ", 0x%lx",
                             reinterpret_cast<unsigned long>((*members)[i]));
            if (n < 0 || static_cast<size_t>(n) >= room) {
                break; // cut: snprintf kept the terminator inside the buffer
            }
            used += static_cast<size_t>(n);
        }
        break;
    }
    default:
        break;
    }
}

void EI_CommBaseBluetooth::dumpNameAttributes(BluetoothRef record, char* buffer, int length)
{
    if (buffer == nullptr || length <= 0) {
        return;
    }
    const BluetoothAttributeList* attributes =
        Bluetooth().IOBluetoothSDPServiceRecordGetAttributes(record);
    if (attributes == nullptr) {
        return;
    }
    for (const auto& [id, element] : *attributes) {
        if (id == kServiceNameAttribute) {
            dumpDataElement(element, buffer, length);
        }
    }
}

int EI_CommBaseBluetooth::opendevice(unsigned char* address, int* count,
                                     ProgressCallback progress)
{
    int ignored = 0;
    if (count == nullptr) {
        count = &ignored;
    }
    // Without the host's buffer the listing works as for an unknown device and reports no address.
    unsigned char noAddress[6] = {};
    if (address == nullptr) {
        address = noAddress;
    }
    *count = 0;
    MyBluetoothDevice& holder = g_myBluetoothDevice;
    holder.m_nChannels = 0;
    BluetoothPlatform& bt = Bluetooth();

    bool known = !isNoDevice(address);
    if (known) {
        holder.CreateDevice(address);
    }
    // A close on another thread ends the stack's waits early, as failures: the listing ends.
    if (CancelPending()) {
        g_bListingClosed = true;
        return 0;
    }
    if (!known || holder.GetActiveDevice() == nullptr) {
        std::memset(address, 0, 6);
        BluetoothRef controller = bt.IOBluetoothGetDeviceSelectorController();
        WindowRef window = bt.FrontWindow();
        if (window != nullptr) {
            bt.HideWindow(window);
        }
        IOBluetoothDeviceSearchAttributes attributes{};
        const BluetoothRefList* picked =
            bt.IOBluetoothDeviceSelectorRunPanelWithAttributes(controller, &attributes);
        if (picked == nullptr || picked->empty()) {
            if (window != nullptr) {
                bt.ShowWindow(window);
            }
            return 0;
        }
        holder.SetActiveDevice(picked->front());
        if (const BluetoothDeviceAddress* a =
                picked->front() != nullptr ? bt.IOBluetoothDeviceGetAddress(picked->front())
                                           : nullptr) {
            std::memcpy(address, a->data, 6);
        }
        if (window != nullptr) {
            bt.ShowWindow(window);
        }
    }
    BluetoothRef device = holder.GetActiveDevice();
    if (device == nullptr || CancelPending()) {
        g_bListingClosed = CancelPending();
        return 0;
    }

    for (int pass = 0; pass < kSDPPasses && holder.m_nChannels == 0; ++pass) {
        g_bSDPDone = 0;
        if (bt.IOBluetoothDevicePerformSDPQuery(device, callbackSDPQuery, &g_bSDPDone) !=
            kIOReturnSuccess) {
            return 0;
        }
        for (int step = 0; step < kWaitSteps && !g_bSDPDone; ++step) {
            bool paused = true;
            if (progress != nullptr) {
                progress(kWaitText, 0, 0);
                paused = PauseUnlessClosed(kWaitStepMs);
            } else {
                bool shown = false;
                runOkCancelAlert(kWaitAlert, shown);
                // Without an alert to show the step would take no time and the answer would
                // never be awaited: the step pauses as the progress step does.
                if (!shown) {
                    paused = PauseUnlessClosed(kWaitStepMs);
                }
            }
            // The alert, too, ends when a close is asked for.
            if (!paused || CancelPending()) {
                g_bListingClosed = true;
                return 0;
            }
        }
        const BluetoothRefList* records = bt.IOBluetoothDeviceGetServices(device);
        if (records == nullptr) {
            continue;
        }
        int position = 0;
        for (BluetoothRef record : *records) {
            ++position;
            if (record == nullptr) {
                return 0;
            }
            uint8_t channelID = 0;
            if (bt.IOBluetoothSDPServiceRecordGetRFCOMMChannelID(record, &channelID) !=
                kIOReturnSuccess) {
                continue;
            }
            char name[kNameBufferSize] = {};
            dumpNameAttributes(record, name, sizeof name);
            PM_Log_WriteMessage("Service Name #%d: %s", position, name);
            for (const char* entry : kServiceNames) {
                if (std::strcmp(name, entry) != 0) {
                    continue;
                }
                // The table has five rows; later matches are logged but not kept.
                if (holder.m_nChannels < kMaxChannels) {
                    char* slot = holder.m_szServiceName[holder.m_nChannels];
                    size_t length = strnlen(name, kServiceNameSize - 1);
                    std::memcpy(slot, name, length);
                    slot[length] = '\0';
                    holder.m_nChannelID[holder.m_nChannels] = channelID;
                    ++holder.m_nChannels;
                }
                PM_Log_WriteMessage("%s", "Matched Service!");
                break;
            }
        }
    }

    if (!bt.IOBluetoothDeviceIsConnected(device)) {
        bool connected = false;
        for (int attempt = 0; attempt < kConnectAttempts && !connected; ++attempt) {
            connected =
                bt.IOBluetoothDeviceOpenConnection(device, nullptr, nullptr) == kIOReturnSuccess;
            if (!connected && !PauseUnlessClosed(kConnectPauseMs)) {
                g_bListingClosed = true;
                return 0;
            }
        }
        if (!connected) {
            return 0;
        }
    }
    *count = holder.m_nChannels;
    return holder.m_nChannels > 0 ? 1 : 0;
}

int EI_CommBaseBluetooth::CountChannels(unsigned char* address, ProgressCallback progress)
{
    int count = 0;
    g_bListingClosed = false;
    if (!opendevice(address, &count, progress)) {
        g_nLastError = g_bListingClosed || CancelPending() ? int32_t{EI_ERR_TIMEOUT}
                                                           : int32_t{EI_ERR_BT_CHANNEL};
        return 0;
    }
    // A channel open on this device keeps its connection.
    if (g_myBluetoothDevice.GetActiveDevice() != g_myBluetoothDevice.m_pChannelDevice) {
        closedevice();
    }
    if (CancelPending()) {
        g_nLastError = EI_ERR_TIMEOUT; // the close came during the closing pause
        return 0;
    }
    if (count < 1) {
        g_nLastError = EI_ERR_BT_CHANNEL;
    }
    return count;
}
