// Host file-path helpers: FSSpecs into colon-separated full paths.
#include "PortMdlPaths.h"

#include <algorithm>
#include <cstring>

#include "platform/CatalogLookup.h"
#include "portmdl/PortMdl.h"

namespace {


// A path under construction, built from the bottom up and always zero-terminated.
struct PathText {
    char text[kMaxPathLength + 1] = {};
    std::size_t length = 0;

    // Puts name and ':' in front; false, leaving the text as it was, when that would pass the
    // limit.
    bool Prepend(const unsigned char* name, std::size_t nameLength)
    {
        if (length + nameLength + 1 > kMaxPathLength) {
            return false;
        }
        std::memmove(text + nameLength + 1, text, length + 1);
        std::memcpy(text, name, nameLength);
        text[nameLength] = ':';
        length += nameLength + 1;
        return true;
    }
};

// A length byte above 63 would reach past the name field; only the field's characters count.
std::size_t NameLength(const unsigned char* pascalName)
{
    return std::min<std::size_t>(pascalName[0], kMaxNameLength);
}

// Walks from fsSpec's parent up to the volume's root, putting each directory's name in front.
// Every pass adds at least ':', so a catalog that loops ends at the length limit.
int PrependDirectories(PathText& path, const FSSpec& fsSpec)
{
    unsigned char name[64];
    int32_t dirID = fsSpec.parID;
    bool atRoot;
    do {
        atRoot = dirID == kRootDirID;
        int32_t parentID = 0;
        if (CatalogGetDirInfo(fsSpec.vRefNum, dirID, name, parentID) != kCatalogNoErr) {
            return -1;
        }
        if (!path.Prepend(name + 1, NameLength(name))) {
            return -1;
        }
        dirID = parentID;
    } while (!atRoot);
    return 0;
}

// The host's buffer need not be aligned for the fsSpec's fields.
FSSpec ReadSpec(const char* buffer)
{
    FSSpec fsSpec;
    std::memcpy(&fsSpec, buffer, sizeof fsSpec);
    return fsSpec;
}

} // namespace

int ConvertFSSpecToFullPath(char* out, FSSpec* fsSpec)
{
    if (out == nullptr || fsSpec == nullptr) {
        return -1;
    }
    PathText path;
    int result = PrependDirectories(path, *fsSpec);
    std::memcpy(out, path.text, path.length + 1);
    return result;
}

char* PM_ConvertFSSpecWithoutName(char* buffer)
{
    if (buffer == nullptr) {
        return buffer;
    }
    FSSpec fsSpec = ReadSpec(buffer);
    char work[kMaxPathLength + 1];
    ConvertFSSpecToFullPath(work, &fsSpec);
    std::strcpy(buffer, work);
    return buffer;
}

char* PM_ConvertFSSpecWithName(char* buffer)
{
    if (buffer == nullptr) {
        return buffer;
    }
    FSSpec fsSpec = ReadSpec(buffer);
    // The directories keep to the path limit on their own; the name and ':' follow them whole, so
    // the text is at most kMaxPathLength + kMaxNameLength + 1 characters.
    char text[kMaxNamedPathLength + 1];
    ConvertFSSpecToFullPath(text, &fsSpec);
    std::size_t length = std::strlen(text);
    std::size_t nameLength = NameLength(fsSpec.name);
    std::memcpy(text + length, fsSpec.name + 1, nameLength);
    text[length + nameLength] = ':';
    text[length + nameLength + 1] = '\0';
    std::memcpy(buffer, text, length + nameLength + 2);
    return buffer;
}

void PM_ExchangePath(char* a, char* b, int count)
{
    if (a == nullptr || b == nullptr) {
        return;
    }
    for (int i = 0; i < count; ++i) {
        char byte = a[i];
        a[i] = b[i];
        b[i] = byte;
    }
}
