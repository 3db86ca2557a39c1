// The installable catalog lookup and its table form.
#include "CatalogLookup.h"

#include <cstring>

namespace {
CatalogLookup* gCatalog = nullptr;
} // namespace

void SetCatalogLookup(CatalogLookup* lookup)
{
    gCatalog = lookup;
}

int16_t CatalogGetDirInfo(int16_t vRefNum, int32_t dirID, unsigned char (&name)[64],
                          int32_t& parentID)
{
    if (gCatalog == nullptr) {
        return kCatalogNoVolume;
    }
    return gCatalog->GetDirInfo(vRefNum, dirID, name, parentID);
}

void CatalogTable::Add(int16_t vRefNum, int32_t dirID, const std::string& name, int32_t parentID)
{
    m_cEntries[{vRefNum, dirID}] = {name.substr(0, 63), parentID};
}

int16_t CatalogTable::GetDirInfo(int16_t vRefNum, int32_t dirID, unsigned char (&name)[64],
                                 int32_t& parentID)
{
    auto it = m_cEntries.find({vRefNum, dirID});
    if (it == m_cEntries.end()) {
        return kCatalogNoDirectory;
    }
    const std::string& text = it->second.first;
    name[0] = static_cast<unsigned char>(text.size());
    std::memcpy(name + 1, text.data(), text.size());
    parentID = it->second.second;
    return kCatalogNoErr;
}
