#include "serial/serial_report.h"

#include <atomic>
#include <mutex>

namespace {
std::mutex reportLock;  // written by an open, read by hints on another thread
SerialPortReport lastReport = {0, 0, LowLatencyNotAsked, false};
std::atomic<void (*)(const char*)> noteSink{nullptr};
}  // namespace

SerialPortReport SerialLastPortReport() {
    std::lock_guard<std::mutex> lock(reportLock);
    return lastReport;
}

void SerialRecordPort(const SerialPortReport& report) {
    std::lock_guard<std::mutex> lock(reportLock);
    lastReport = report;
}

void SerialSetNoteSink(void (*note)(const char* text)) {
    noteSink = note;
}

void SerialNote(const char* text) {
    void (*note)(const char*) = noteSink.load();
    if (note) note(text);
}

std::string RefusedSettingsText() {
    SerialPortReport r = SerialLastPortReport();
    std::string kept = r.speedFound != r.speedAsked && r.speedFound != 0
                           ? " (the driver kept " + std::to_string(r.speedFound) + " baud)"
                           : "";
    return "did not take " + std::to_string(r.speedAsked) + " baud 8N1" + kept;
}
