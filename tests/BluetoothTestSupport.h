// A simulated Bluetooth world for one test process: the world file in a temporary folder, named
// by PM_BLUETOOTH_SIM before the module first needs Bluetooth, with its trace of platform calls.
#ifndef TESTS_BLUETOOTHTESTSUPPORT_H
#define TESTS_BLUETOOTHTESTSUPPORT_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "CommBaseBluetooth.h"

using nlohmann::json;

inline json textRecord(int rfcomm, const std::string& name)
{
    json record = {{"attributes", {{"256", {{"text", name}}}}}};
    if (rfcomm >= 0) {
        record["rfcomm"] = rfcomm;
    }
    return record;
}

class BluetoothWorldFile {
  public:
    explicit BluetoothWorldFile(json world)
    {
        char tmpl[] = "/tmp/pmbt.XXXXXX";
        if (mkdtemp(tmpl) != nullptr) {
            m_dir = tmpl;
        }
        m_trace = m_dir + "/trace";
        if (!world.contains("trace")) {
            world["trace"] = m_trace;
        }
        Write(world.dump(2));
    }
    ~BluetoothWorldFile()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }

    // Writes the file as it is and names it for the module.
    void Write(const std::string& text)
    {
        std::ofstream(Path(), std::ios::binary | std::ios::trunc) << text;
        setenv("PM_BLUETOOTH_SIM", Path().c_str(), 1);
    }

    std::string Path() const { return m_dir + "/world.json"; }
    const std::string& Dir() const { return m_dir; }

    std::vector<std::string> Trace() const
    {
        std::ifstream in(m_trace);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    // Lines that are exactly line, or begin with it and a space when prefix is set.
    size_t Count(const std::string& line, bool prefix = false) const
    {
        size_t n = 0;
        for (const std::string& l : Trace()) {
            n += l == line || (prefix && l.rfind(line + " ", 0) == 0) ? 1 : 0;
        }
        return n;
    }

  private:
    std::string m_dir;
    std::string m_trace;
};

// Makes the device of address the active one with the given channel table, as a listing would.
inline void selectDevice(const unsigned char (&address)[6],
                         const std::vector<std::pair<std::string, uint8_t>>& rows)
{
    auto& holder = EI_CommBaseBluetooth::g_myBluetoothDevice;
    ASSERT_NE(holder.CreateDevice(address), nullptr);
    holder.m_nChannels = static_cast<int32_t>(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        snprintf(holder.m_szServiceName[i], sizeof holder.m_szServiceName[i], "%s",
                 rows[i].first.c_str());
        holder.m_nChannelID[i] = rows[i].second;
    }
}

constexpr unsigned char kPhone[6] = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x01};
constexpr const char* kPhoneText = "AA:BB:CC:DD:EE:01";

#endif
