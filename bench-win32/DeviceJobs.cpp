#include "bench-win32/DeviceJobs.h"

#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "device/Device.h"
#include "link/SystemPort.h"
#include "platform/Utf8.h"
#include "protocol/TraceFile.h"

namespace qmb::benchwin {

namespace {

// What the UI thread and the running worker share: the worker's device while
// it exists (for a stop), the cancel of a write, and whether Cancel came
// before the device did. The lock is never held across a transfer.
struct JobControl {
    std::mutex mutex;
    device::Device* device = nullptr;
    bool cancelled = false;
    std::shared_ptr<std::atomic<bool>> writeCancel;
};

std::shared_ptr<JobControl> g_job;  // UI thread only
std::atomic<bool> g_running{false};
std::atomic<int> g_liveWorkers{0};
TraceFile* g_trace = nullptr;  // never destroyed: a worker may trace while the process ends

// Never destroyed, for the same reason: a worker may still use it at exit.
TickCounter& Ticks() {
    static TickCounter* const ticks = MakeSystemTicks().release();
    return *ticks;
}

device::Failure FailureOf(const device::DeviceFault& fault) {
    return device::Failure{fault.Kind(), fault.Section(), fault.what()};
}

// Runs work(device) on a device open on port, registered with control for
// Cancel. An open that fails, or anything thrown, becomes the failure.
template <typename Work>
device::Failure WithDevice(JobControl& control, const std::string& port, Work work) {
    try {
        device::Device device(MakeSystemPort(), Ticks());
        if (g_trace != nullptr) device.SetTraceSink(g_trace);
        {
            std::lock_guard<std::mutex> lock(control.mutex);
            control.device = &device;
            if (control.cancelled) device.RequestStop();
        }
        device::Failure failure;
        try {
            device.Open(port);
            work(device);
        } catch (const device::DeviceFault& fault) {
            failure = FailureOf(fault);
        }
        std::lock_guard<std::mutex> lock(control.mutex);
        control.device = nullptr;
        return failure;
    } catch (const std::exception& error) {
        std::lock_guard<std::mutex> lock(control.mutex);
        control.device = nullptr;
        return device::Failure{device::Fault::kSystem, 0, error.what()};
    }
}

// Starts body on a detached, counted worker; false when none starts.
template <typename Body>
bool StartWorker(Body body) {
    g_liveWorkers.fetch_add(1);
    g_running.store(true);
    try {
        std::thread([body]() mutable {
            body();
            g_liveWorkers.fetch_sub(1);
        }).detach();
        return true;
    } catch (const std::exception&) {
        g_running.store(false);
        g_liveWorkers.fetch_sub(1);
        return false;
    }
}

// Hands an outcome to the window (the job is over: another may start once
// it arrives); deleted here when the window is gone.
template <typename Outcome>
void Deliver(HWND window, UINT message, Outcome* outcome) {
    g_running.store(false);
    if (!PostMessageW(window, message, 0, reinterpret_cast<LPARAM>(outcome))) delete outcome;
}

}  // namespace

bool StartReadAll(HWND window, const std::string& port) {
    if (g_running.load()) return false;
    auto control = std::make_shared<JobControl>();
    g_job = control;
    return StartWorker([window, port, control] {
        auto outcome = std::make_unique<ReadOutcome>();
        outcome->port = port;
        const device::Failure failure = WithDevice(*control, port, [&](device::Device& d) {
            outcome->result = device::ReadAll(d, [window](const device::ReadProgress& p) {
                PostMessageW(window, kMsgReadProgress, static_cast<WPARAM>(p.done), p.section);
            });
        });
        if (failure.Failed()) outcome->result.failure = failure;
        Deliver(window, kMsgReadDone, outcome.release());
    });
}

bool StartWrite(HWND window, const std::string& port, device::WriteJob job) {
    if (g_running.load()) return false;
    auto control = std::make_shared<JobControl>();
    control->writeCancel = job.cancel;
    g_job = control;
    return StartWorker([window, port, control, job] {
        auto outcome = std::make_unique<WriteOutcome>();
        outcome->port = port;
        outcome->planned = job.plan.size();
        const device::Failure failure = WithDevice(*control, port, [&](device::Device& d) {
            outcome->result = device::WriteSections(d, job, [window](const device::WriteProgress& p) {
                PostMessageW(window, kMsgWriteProgress, static_cast<WPARAM>(p.done), p.section);
            });
        });
        if (failure.Failed()) {
            // The port did not open: nothing was sent.
            outcome->result.failure = failure;
            for (const device::SectionWrite& w : job.plan)
                outcome->result.notWritten.push_back(w.section);
        }
        Deliver(window, kMsgWriteDone, outcome.release());
    });
}

void CancelJob() {
    if (!g_job) return;
    std::lock_guard<std::mutex> lock(g_job->mutex);
    g_job->cancelled = true;
    if (g_job->writeCancel) {
        // Before the next section, never between a write and its commit.
        g_job->writeCancel->store(true);
    } else if (g_job->device != nullptr) {
        g_job->device->RequestStop();
    }
}

bool JobRunning() {
    return g_running.load();
}

int LiveWorkers() {
    return g_liveWorkers.load();
}

void TraceFromEnvironment() {
    const std::string path = EnvironmentValue(kTraceVariable);
    if (path.empty() || g_trace != nullptr) return;
    auto* file = new TraceFile;
    if (file->Open(path, "qmb-device.exe")) {
        g_trace = file;
    } else {
        delete file;  // no console to say so: the trace stays off
    }
}

}  // namespace qmb::benchwin
