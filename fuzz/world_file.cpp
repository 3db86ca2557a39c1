// The Bluetooth world file reader on any text. Beyond not crashing: a text it refuses gets its
// one-line reason with a position (line and column, or the JSON pointer of the value), since that
// line is all a user sees of a broken world.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/bluetooth/sim/BluetoothWorld.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    BluetoothWorld world;
    std::string error;
    if (ParseBluetoothWorld(text, world, error)) {
        return 0;
    }
    if (error.find('\n') != std::string::npos ||
        (error.find("line ") == std::string::npos && error.rfind("at /", 0) != 0)) {
        std::abort(); // a reason without a position, or more than one line
    }
    return 0;
}
