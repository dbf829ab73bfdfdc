// The parameter file loader on hostile files; whatever it accepts must survive
// a save and load unchanged.
#include <cmath>

#include "FuzzSupport.h"
#include "MapParamFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string file = fuzz::WriteScratch("param.Map", data, size);
    const auto result = LoadMapParamFile(file);
    if (!result) return 0;
    const TMapParamData& loaded = *result;
    fuzz::Require(loaded.CurrentZoom >= MinMapZoom && loaded.CurrentZoom <= MaxMapZoom && loaded.MaxZoom >= MinMapZoom &&
                      loaded.MaxZoom <= MaxMapZoom,
                  "accepted zooms lie in 5..17");
    fuzz::Require(std::isfinite(loaded.CenterLon) && std::isfinite(loaded.CenterLat), "accepted centres are numbers");
    const std::string copy = (fuzz::ScratchDir() / "copy.Map").string();
    SaveMapParamFile(copy, loaded);
    const auto reloaded = LoadMapParamFile(copy);
    fuzz::Require(bool(reloaded), "a saved file loads");
    const TMapParamData& again = *reloaded;
    fuzz::Require(again.CurrentZoom == loaded.CurrentZoom && again.MaxZoom == loaded.MaxZoom &&
                      again.TileRect == loaded.TileRect && again.CenterLon == loaded.CenterLon &&
                      again.CenterLat == loaded.CenterLat && again.Reserved == loaded.Reserved &&
                      again.Included == loaded.Included,
                  "save and load keep every field");
    return 0;
}
