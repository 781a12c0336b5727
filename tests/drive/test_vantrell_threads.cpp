// The drive library used from several threads at once, as the drive layer does: a grab on
// a worker, discovery on another thread, and a cancel from a third.
#include "test_vantrell_fixture.h"

#include <atomic>
#include <thread>

using namespace vt;

namespace {

void CountDevice(uint8_t, void* context, void* first, void*) {
    // Discovery opens and describes each drive from its callback.
    const auto* address = static_cast<VantrellDeviceAddress*>(first);
    Eb eb;
    VantrellObject* probe = nullptr;
    if (Vantrell_CdvdBurnerGrabber_Create(&probe, VT_EB(eb), nullptr, nullptr, address->PortID,
                                          address->BusID, address->TargetID, address->LUN,
                                          1) == 0) {
        VantrellTocRecord toc;
        Vantrell_CdvdBurnerGrabber_GetTOCInformation(probe, VT_EB(eb), &toc);
        Vantrell_Destroy(&probe);
    }
    ++*static_cast<int*>(context);
}

std::atomic<int> g_reports{0};
void OnProgress(uint8_t, void*, void*, void*) {
    ++g_reports;
}

class ThreadsTest : public VantrellTest {};

TEST_F(ThreadsTest, GrabDiscoveryAndCancelRunTogether) {
    discimage::Disc disc;
    for (uint32_t i = 0; i < 4; ++i)
        disc.tracks.push_back(Audio(3000, i));
    SetDrives({Write(disc, "one"), Write(disc, "two")});

    Eb eb;
    VantrellObject* grabber = nullptr;
    ASSERT_EQ(Vantrell_CdvdBurnerGrabber_Create(&grabber, VT_EB(eb), OnProgress, nullptr, PortOf(0),
                                                0, 0, 0, 0),
              0);
    std::atomic<bool> done{false};
    int searches = 0;
    std::thread discovery([&] {
        while (!done) {
            int found = 0;
            Vantrell_FindDevice(5, 0, CountDevice, &found);
            ++searches;
        }
    });
    std::thread canceller([&] {
        while (g_reports < 5 && !done)
            std::this_thread::yield();
        Vantrell_CdvdBurnerGrabber_CancelGrab(grabber);
    });
    Eb grabEb;
    const uint8_t first = Vantrell_CdvdBurnerGrabber_GrabTrack(
        grabber, VT_EB(grabEb), 1, (dir_ / "one.wav").c_str(), 1, 1, 0, 1);
    canceller.join();
    // Whatever the timing, the grab either finished or was cancelled, never half-written.
    EXPECT_TRUE(first == VANTRELL_EXCEPTION_CANCELLED || first == 0) << grabEb.text;
    EXPECT_EQ(fs::exists(dir_ / "one.wav"), first == 0);
    Vantrell_CdvdBurnerGrabber_CancelGrab(nullptr);
    const uint8_t second = Vantrell_CdvdBurnerGrabber_GrabTrack(
        grabber, VT_EB(grabEb), 2, (dir_ / "two.wav").c_str(), 1, 1, 0, 1);
    // A cancel that came after the first grab ended is used up by the second.
    EXPECT_TRUE(second == 0 || (first == 0 && second == VANTRELL_EXCEPTION_CANCELLED));
    done = true;
    discovery.join();
    EXPECT_GT(searches, 0);
    Vantrell_Destroy(&grabber);
}

} // namespace
