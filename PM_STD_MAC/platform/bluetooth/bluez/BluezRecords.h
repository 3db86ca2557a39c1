// Service records as libbluetooth's SDP client parses them, turned into the records and data
// elements of the Bluetooth platform interface: what the real stack's backend hands out.
#ifndef PM_STD_MAC_PLATFORM_BLUEZRECORDS_H
#define PM_STD_MAC_PLATFORM_BLUEZRECORDS_H

#include <bluetooth/bluetooth.h>
#include <bluetooth/sdp.h>

#include "platform/bluetooth/BluetoothRecords.h"

// The record with its attribute dictionary (attribute ID -> element) and the RFCOMM channel of its
// protocol descriptor list (none when the list names no RFCOMM channel). Elements nested deeper
// than kMaxBluezElementDepth, and types SDP does not define, become nil elements. The record
// itself stays the caller's.
BluetoothRecord* ConvertSDPRecord(const sdp_record_t* record, BluetoothRecordStore& store);

inline constexpr int kMaxBluezElementDepth = 32;

#endif
