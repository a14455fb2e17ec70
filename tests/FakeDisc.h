// A fake system with the sample disc in drive D:, for tests of whole runs.
#pragma once

#include <string>

#include "platform/fake/FakePlatform.h"

// D:\ holds the probe library and the English pages; a browser start makes a browser process
// appear, as the real browser does.
inline void SetUpDisc(FakePlatform& fake, const std::string& dir = "D:\\") {
    fake.moduleFileName = dir + "Start.exe";
    fake.loadableLibraries.insert(FakeKey(dir + "qzm.dll"));
    fake.AddFile(dir + "Handoff.exe", "MZ handoff");
    fake.AddFile(dir + "lang\\Eng\\locale.js");
    fake.onStart = [](FakePlatform& f, const std::string& program, const std::string&) {
        const std::string browser = "Panoview.exe";
        if (program.size() >= browser.size() &&
            program.compare(program.size() - browser.size(), browser.size(), browser) == 0) {
            f.AddProcess("Panoview.exe");
        }
    };
}
