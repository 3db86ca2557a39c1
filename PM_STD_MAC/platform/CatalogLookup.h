// The catalog lookup behind the host file-path helpers: for a volume and a directory ID, the
// directory's name and the ID of its parent. A catalog is installed at run time; with none
// installed every lookup fails.
#ifndef PM_STD_MAC_PLATFORM_CATALOGLOOKUP_H
#define PM_STD_MAC_PLATFORM_CATALOGLOOKUP_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>

// Lookup results, as the file manager numbers them.
constexpr int16_t kCatalogNoErr = 0;
constexpr int16_t kCatalogNoVolume = -35;     // no catalog installed
constexpr int16_t kCatalogNoDirectory = -120; // the volume has no such directory

// Directory ID of a volume's root directory; its name is the volume's name.
constexpr int32_t kRootDirID = 2;

class CatalogLookup {
  public:
    virtual ~CatalogLookup() = default;
    // On kCatalogNoErr, name holds the directory's name as a length byte followed by up to 63
    // characters, and parentID the ID of its parent.
    virtual int16_t GetDirInfo(int16_t vRefNum, int32_t dirID, unsigned char (&name)[64],
                               int32_t& parentID) = 0;
};

// Installs the catalog that lookups use (nullptr: none). The caller keeps ownership and keeps it
// alive while installed. Not synchronised: install before the host's thread converts paths.
void SetCatalogLookup(CatalogLookup* lookup);

// The lookup the path helpers call: kCatalogNoVolume when no catalog is installed.
int16_t CatalogGetDirInfo(int16_t vRefNum, int32_t dirID, unsigned char (&name)[64],
                          int32_t& parentID);

// A catalog held in a table, keyed by volume and directory ID.
class CatalogTable : public CatalogLookup {
  public:
    // Adds or replaces a directory; a name longer than 63 characters is cut to 63.
    void Add(int16_t vRefNum, int32_t dirID, const std::string& name, int32_t parentID);
    int16_t GetDirInfo(int16_t vRefNum, int32_t dirID, unsigned char (&name)[64],
                       int32_t& parentID) override;

  private:
    std::map<std::pair<int16_t, int32_t>, std::pair<std::string, int32_t>> m_cEntries;
};

#endif
