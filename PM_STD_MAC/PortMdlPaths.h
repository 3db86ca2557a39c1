// Internal side of the host file-path helpers: the FSSpec the host hands over and the
// conversion of its parent directory into a colon-separated full path.
#ifndef PM_STD_MAC_PORTMDLPATHS_H
#define PM_STD_MAC_PORTMDLPATHS_H

#include <cstddef>
#include <cstdint>

// The host's FSSpec, in its 2-byte-aligned layout: the directory ID sits at offset 2.
#pragma pack(push, 2)
struct FSSpec {
    int16_t vRefNum;        // volume reference number
    int32_t parID;          // directory ID of the parent
    unsigned char name[64]; // length byte, then up to 63 characters
};
#pragma pack(pop)

static_assert(sizeof(FSSpec) == 70);
static_assert(offsetof(FSSpec, vRefNum) == 0);
static_assert(offsetof(FSSpec, parID) == 2);
static_assert(offsetof(FSSpec, name) == 6);

// Longest directory path, without its terminating zero.
constexpr std::size_t kMaxPathLength = 255;
// Longest name of an FSSpec.
constexpr std::size_t kMaxNameLength = 63;
// Longest text PM_ConvertFSSpecWithName produces: the directories, the name and ':' (319).
constexpr std::size_t kMaxNamedPathLength = kMaxPathLength + kMaxNameLength + 1;

// Writes the full path of fsSpec's parent directory into out (room for kMaxPathLength + 1 bytes):
// the volume's name and every directory down to the parent, each followed by ':'. Returns 0, or
// -1 when a lookup fails or the path would pass kMaxPathLength; out then holds the lower part
// built so far (the empty text when the first lookup fails).
int ConvertFSSpecToFullPath(char* out, FSSpec* fsSpec);

#endif
