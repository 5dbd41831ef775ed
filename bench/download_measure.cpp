// A measured download against the camera simulator program.
#include "bench/download_measure.h"

#include <sched.h>
#include <sys/resource.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/devices.h"
#include "protocol/camera_session.h"
#include "tests/e2e/sim_process.h"
#include "wire/byte_codes.h"
#include "wire/usb_device_name.h"

namespace bench {
namespace {

int32_t CountProgress(uint32_t, int32_t, int32_t) {
    return 1;
}

double CpuMs(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// Keeps this process, and the simulator it starts, on the processor it runs on, for its lifetime.
//
// A pseudo-terminal hands its bytes over through a kernel worker. On a virtual machine with several
// virtual processors, a hand-off that wakes an idle one now and then waits for the hypervisor to
// schedule it: on the 2-processor machine this was measured on, about one transfer in ten took 3 ms
// longer (two plain processes exchanging bytes over a pty: 99th percentile 3 ms unpinned, 0.3 ms on one
// processor). A serial line has no such delay, and it would be counted as the updater's. On one
// processor the updater and the camera take turns, as they do on the wire.
class ScopedSingleCpu {
  public:
    ScopedSingleCpu() {
        const int cpu = sched_getcpu();
        if (cpu < 0 || sched_getaffinity(0, sizeof m_previous, &m_previous) != 0) {
            return;
        }
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        if (sched_setaffinity(0, sizeof one, &one) == 0) {
            m_cpu = cpu;
        }
    }
    ~ScopedSingleCpu() {
        if (m_cpu >= 0) {
            sched_setaffinity(0, sizeof m_previous, &m_previous);
        }
    }
    ScopedSingleCpu(const ScopedSingleCpu&) = delete;
    ScopedSingleCpu& operator=(const ScopedSingleCpu&) = delete;
    int Cpu() const { return m_cpu; }

  private:
    cpu_set_t m_previous{};
    int m_cpu = -1;
};

std::string ReadText(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

DownloadFigures MeasureDownload(bool usb, const std::string& adapter) {
    DownloadFigures figures;
    const std::string runtimeDir = e2e::MakePrivateRuntimeDir();
    if (runtimeDir.empty()) {
        figures.error = "cannot make a private runtime directory";
        return figures;
    }
    const ScopedSingleCpu pinned;
    figures.cpu = pinned.Cpu();
    const std::string logPath = runtimeDir + "/wire.log";
    const std::string published = runtimeDir + "/qx410fw/" + (usb ? wire::UsbObjectName(1) : "COM1");
    e2e::SimProcess sim;
    std::vector<std::string> arguments = {usb ? "--usb" : "--serial", "1", "--pace", "--log", logPath};
    if (!usb && !adapter.empty()) {
        arguments.insert(arguments.end(), {"--adapter", adapter});
    }
    if (!sim.Start(arguments, published, runtimeDir + "/summary.txt", figures.error)) {
        e2e::RemoveRuntimeDir(runtimeDir);
        return figures;
    }

    CCameraSession session(platform::SystemDevices());
    CameraInfo info;
    char name[40] = {};
    CameraName cameraName;
    cameraName.name = name;
    int32_t notIdentified = -1;
    session.SearchCamera(usb ? PORT_USB : 1, &info, &cameraName, &notIdentified);
    if (session.GetResultCode() != 0 || notIdentified != 0) {
        figures.error = "the camera was not found (code " + std::to_string(session.GetResultCode()) + ")";
        sim.Stop();
        e2e::RemoveRuntimeDir(runtimeDir);
        return figures;
    }

    std::vector<uint8_t> payload(wire::FIRMWARE_PAYLOAD_SIZE);
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<uint8_t>((i * 131u) ^ (i >> 8));
    }
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    session.DownloadFirmware(payload.data(), CountProgress);
    const auto end = std::chrono::steady_clock::now();
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    const int16_t resultCode = session.GetResultCode();

    const e2e::SimSummary summary = sim.Stop();
    figures.floor = ComputeDownloadFloor(ReadText(logPath), usb);
    e2e::RemoveRuntimeDir(runtimeDir);
    if (resultCode != 0 || !summary.valid || summary.Value("reset") != "yes") {
        figures.error = "the download failed (code " + std::to_string(resultCode) + ")";
        return figures;
    }
    if (!figures.floor.valid) {
        figures.error = figures.floor.error;
        return figures;
    }
    figures.measuredMs = std::chrono::duration<double, std::milli>(end - start).count();
    figures.cpuMs = CpuMs(after) - CpuMs(before);
    figures.peakMemoryKiB = after.ru_maxrss;
    figures.valid = true;
    return figures;
}

}  // namespace bench
