#include "can_fixture.h"
namespace {
using ztest::CanTest;
using ztest::InProcessWithSearchPath;
using ztest::VendorDir;
class CanExplore : public CanTest {
protected:
    void Run(uint8_t type, const char *name) {
        for (uint8_t proto : {0, 0x80}) {
            auto bus = StartBus({"--axes", "2,3", "--protocol", proto ? "torvanecan" : "orv"});
            auto &lib = Start();
            const int32_t handle = lib.MSK_OpenComm(name, 1, 0, type | proto);
            std::printf("---- open %d proto %x -> %d %s\n", type, proto, handle, handle > 0 ? "" : LastError().c_str());
            for (auto &c : Calls()) std::printf("%s\n", c.c_str());
            if (handle <= 0) continue;
            lib.MSK_SetActiveDrive(2);
            char version[8] = {};
            bool ok = lib.MSK_GetDriveVersion(version);
            std::printf("---- version %d %s %s\n", ok, version, ok ? "" : LastError().c_str());
            for (auto &c : Calls()) if (c.find("Read") == std::string::npos && c.find("Take") == std::string::npos && c.find("Peek") == std::string::npos) std::printf("%s\n", c.c_str());
            ok = lib.MSK_SetBaudRate(250000);
            std::printf("---- baud %d %s\n", ok, ok ? "" : LastError().c_str());
            for (auto &c : Calls()) std::printf("%s\n", c.c_str());
            std::printf("---- host 4\n");
            ok = lib.MSK_SetHostDrive(4);
            std::printf("---- host %d %s\n", ok, ok ? "" : LastError().c_str());
            for (auto &c : Calls()) std::printf("%s\n", c.c_str());
            lib.MSK_CloseComm(handle);
            std::printf("---- close\n");
            for (auto &c : Calls()) std::printf("%s\n", c.c_str());
            UnloadLibrary(lib_);
        }
    }
};
TEST_F(CanExplore, V3) { if (!InProcessWithSearchPath(VendorDir())) return; Run(2, "1"); }
TEST_F(CanExplore, V2) { if (!InProcessWithSearchPath(VendorDir("v2-only"))) return; Run(2, "1"); }
TEST_F(CanExplore, SysTec) { if (!InProcessWithSearchPath(VendorDir())) return; Run(3, "1"); }
TEST_F(CanExplore, Esd) { if (!InProcessWithSearchPath(VendorDir())) return; Run(5, "1"); }
TEST_F(CanExplore, Kvaser) { if (!InProcessWithSearchPath(VendorDir())) return; Run(10, "1"); }
TEST_F(CanExplore, Peak) { if (!InProcessWithSearchPath(VendorDir())) return; Run(7, "1"); }
}
