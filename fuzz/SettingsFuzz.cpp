// The INI layer and the settings loader on hostile settings files. The input
// carries a section, key and value (libFuzzer's data provider) and then the
// file; the value written into a copy of the file must read back, and a zoom
// written through the settings layer must load again.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>

#include "AtlasAppType.h"
#include "FuzzSupport.h"
#include "IniFile.h"
#include "NumberFormat.h"
#include "Settings.h"

namespace {

// Names and values the INI format can hold: one line, no bracket in a
// section, no '=' in a key, no key that reads as a comment or section.
std::string OneLine(std::string s, std::string_view banned) {
    std::erase_if(s, [&](char c) { return c == '\r' || c == '\n' || banned.find(c) != std::string_view::npos; });
    return TrimBlanks(s);
}

// Names compare without regard to ASCII case.
std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    std::string section = OneLine(in.ConsumeRandomLengthString(40), "]");
    std::string key = OneLine(in.ConsumeRandomLengthString(40), "=");
    const std::string value = OneLine(in.ConsumeRandomLengthString(80), "");
    const int zoom = in.ConsumeIntegralInRange(MinMapZoom, MaxMapZoom);
    const std::string text = in.ConsumeRemainingBytesAsString();
    if (section.empty()) section = "ATLAS_CENTER";
    if (key.empty() || key[0] == ';' || key[0] == '#' || key[0] == '[') key = "LON_VALUE";

    const std::string file =
        fuzz::WriteScratch("AtlasPocket.Ini", reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    TSettingsFile settings(file);
    settings.Load();
    const TAtlasSettings& read = settings.Values();
    fuzz::Require(read.InitialZoom >= MinMapZoom && read.InitialZoom <= MaxMapZoom, "the zoom read lies in 5..17");
    fuzz::Require(read.Server.Port > 0 && read.Server.Port < 65536, "the port read is a port");

    TIniFile ini(file);
    ini.WriteString(section, key, value);  // a readable file takes a write; a throw ends the run as a finding
    const auto back = ini.ReadString(section, key);
    fuzz::Require(back && *back == value, "the value written reads back");

    settings.WriteInitialZoom(zoom);
    fuzz::Require(ini.ReadString(section, key) == back || (Lower(key) == "first_zoom" && Lower(section) == "atlas_zoom"),
                  "another key's write keeps the value");
    settings.Load();
    fuzz::Require(read.InitialZoom == zoom, "the zoom written loads again");
    return 0;
}
