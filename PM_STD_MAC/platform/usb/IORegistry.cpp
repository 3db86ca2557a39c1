// The registry walk on Linux: plane entries are the entries of a folder, serial streams come from
// the serial device registry; objects and iterators live in one handle table.
#include "IORegistry.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "platform/serial/SerialRegistry.h"
#include "platform/StandInDirectory.h"

namespace {

struct Entry {
    bool planeEntry = false;
    std::string name; // plane entry: the class it conforms to
    std::string path; // plane entry: the socket to connect to
    std::map<std::string, std::string> properties;
};

struct Item {
    bool iterator = false;
    Entry entry;                 // an object
    std::vector<Entry> entries; // an iterator: what it walks
    size_t next = 0;
};

std::mutex g_mutex;
std::map<io_object_t, Item> g_items;
io_object_t g_nextHandle = 0x100; // handles look unlike descriptors or small counts

// A new handle for item; 0 when none is free (the table never reuses a held handle).
io_object_t Add(Item item)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    for (int tries = 0; tries < 1000; ++tries) {
        io_object_t handle = g_nextHandle++;
        if (handle == 0 || g_items.count(handle) != 0) {
            continue;
        }
        g_items.emplace(handle, std::move(item));
        return handle;
    }
    return 0;
}

bool ReadPlane(const std::string& dir, std::vector<Entry>* entries)
{
    auto names = StandInEntries(dir);
    if (!names) {
        return false;
    }
    for (auto& name : *names) {
        Entry entry;
        entry.planeEntry = true;
        entry.path = dir + "/" + name;
        entry.name = std::move(name);
        entries->push_back(std::move(entry));
    }
    return true;
}

} // namespace

std::string UserClientDir()
{
    const char* dir = std::getenv("PM_USERCLIENT_DIR");
    return dir != nullptr && dir[0] != '\0' ? dir : kDefaultUserClientDir;
}

kern_return_t IOMasterPort(mach_port_t bootstrap, mach_port_t* master)
{
    if (bootstrap != MACH_PORT_NULL || master == nullptr) {
        return kIOReturnBadArgument;
    }
    *master = kIOMasterPortDefault;
    return kIOReturnSuccess;
}

kern_return_t IORegistryCreateIterator(mach_port_t master, const char* plane, uint32_t,
                                       io_iterator_t* iterator)
{
    if (master != kIOMasterPortDefault || plane == nullptr || iterator == nullptr ||
        std::strcmp(plane, kIOServicePlane) != 0) {
        return kIOReturnBadArgument;
    }
    try {
        Item item;
        item.iterator = true;
        if (!ReadPlane(UserClientDir(), &item.entries)) {
            return kIOReturnNoDevice;
        }
        *iterator = Add(std::move(item));
        return *iterator != 0 ? kIOReturnSuccess : kIOReturnNoMemory;
    } catch (const std::bad_alloc&) {
        return kIOReturnNoMemory;
    }
}

kern_return_t IOServiceGetSerialStreams(mach_port_t master, io_iterator_t* iterator)
{
    if (master != kIOMasterPortDefault || iterator == nullptr) {
        return kIOReturnBadArgument;
    }
    try {
        auto devices = QuerySerialRegistry();
        if (!devices) {
            return kIOReturnNoDevice;
        }
        Item item;
        item.iterator = true;
        for (const auto& device : *devices) {
            Entry entry;
            if (device.ttyDevice) {
                entry.properties["IOTTYDevice"] = *device.ttyDevice;
            }
            if (device.calloutDevice) {
                entry.properties["IOCalloutDevice"] = *device.calloutDevice;
            }
            item.entries.push_back(std::move(entry));
        }
        *iterator = Add(std::move(item));
        return *iterator != 0 ? kIOReturnSuccess : kIOReturnNoMemory;
    } catch (const std::bad_alloc&) {
        return kIOReturnNoMemory;
    }
}

io_object_t IOIteratorNext(io_iterator_t iterator)
{
    try {
        Item object;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            auto it = g_items.find(iterator);
            if (it == g_items.end() || !it->second.iterator ||
                it->second.next >= it->second.entries.size()) {
                return 0;
            }
            object.entry = it->second.entries[it->second.next++];
        }
        return Add(std::move(object));
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

bool IOObjectConformsTo(io_object_t object, const char* className)
{
    if (className == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_items.find(object);
    return it != g_items.end() && !it->second.iterator && it->second.entry.planeEntry &&
           it->second.entry.name == className;
}

kern_return_t IOObjectRelease(io_object_t object)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_items.erase(object);
    return kIOReturnSuccess;
}

bool IORegistryEntryGetStringProperty(io_object_t object, const char* key, char* buffer,
                                      size_t size)
{
    if (key == nullptr || buffer == nullptr || size == 0) {
        return false;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_items.find(object);
    if (it == g_items.end() || it->second.iterator) {
        return false;
    }
    auto property = it->second.entry.properties.find(key);
    if (property == it->second.entry.properties.end()) {
        return false;
    }
    size_t n = std::min(property->second.size(), size - 1);
    std::memcpy(buffer, property->second.data(), n);
    buffer[n] = '\0';
    return true;
}

bool IORegistryEntryPlanePath(io_object_t object, std::string* path)
{
    try {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_items.find(object);
        if (it == g_items.end() || it->second.iterator || !it->second.entry.planeEntry) {
            return false;
        }
        *path = it->second.entry.path;
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

size_t IORegistryHeldCount()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_items.size();
}
