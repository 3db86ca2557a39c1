// The I/O registry walk behind the USB modem transport: a master port, iterators over the service
// plane (the entries of the directory PM_USERCLIENT_DIR) and over the system's serial streams,
// conformance to a class name, string properties and reference release. Objects are 32-bit
// handles, 0 meaning none; every operation is safe from any thread.
#ifndef PM_STD_MAC_PLATFORM_IOREGISTRY_H
#define PM_STD_MAC_PLATFORM_IOREGISTRY_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/IOReturn.h"

using mach_port_t = uint32_t;
using io_object_t = uint32_t;
using io_iterator_t = io_object_t;
using io_service_t = io_object_t;
using io_connect_t = io_object_t;
using task_port_t = mach_port_t;

constexpr mach_port_t MACH_PORT_NULL = 0;
constexpr mach_port_t kIOMasterPortDefault = 0;
constexpr char kIOServicePlane[] = "IOService";
constexpr uint32_t kIORegistryIterateRecursively = 1;

// The folder that stands in for the service plane when PM_USERCLIENT_DIR is unset or empty.
constexpr char kDefaultUserClientDir[] = "/run/portmdl/services";

// The service plane's folder as the environment names it now.
std::string UserClientDir();

// The registry's master port; bootstrap must be MACH_PORT_NULL.
kern_return_t IOMasterPort(mach_port_t bootstrap, mach_port_t* master);

// An iterator over the entries of the plane folder whose names do not begin with '.', in
// bytewise name order, read now. Only the "IOService" plane exists; a folder that cannot be read
// fails with kIOReturnNoDevice.
kern_return_t IORegistryCreateIterator(mach_port_t master, const char* plane, uint32_t options,
                                       io_iterator_t* iterator);

// An iterator over the system's serial streams (the serial device registry), read now; each
// object has the string properties "IOTTYDevice" and, where known, "IOCalloutDevice".
kern_return_t IOServiceGetSerialStreams(mach_port_t master, io_iterator_t* iterator);

// The next object of the iterator (a new reference the caller releases), or 0 at the end.
io_object_t IOIteratorNext(io_iterator_t iterator);

// True when the object is a plane entry whose name equals className.
bool IOObjectConformsTo(io_object_t object, const char* className);

// Drops a reference to an object or an iterator; releasing 0 or an unknown handle does nothing.
kern_return_t IOObjectRelease(io_object_t object);

// Copies a string property into buffer as a terminated string of at most size - 1 characters;
// false when the object has no such property or buffer is unusable.
bool IORegistryEntryGetStringProperty(io_object_t object, const char* key, char* buffer,
                                      size_t size);

// The path of a plane entry's socket, for IOServiceOpen; false for any other object.
bool IORegistryEntryPlanePath(io_object_t object, std::string* path);

// How many objects and iterators are held now (tests look for leaked references).
size_t IORegistryHeldCount();

#endif
