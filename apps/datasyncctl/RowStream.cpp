// The row stream's thread.
#include "datasyncctl/RowStream.h"

#include <memory>
#include <stdexcept>

#include "datasyncctl/TelemetryRowWriter.h"

namespace datasyncctl {

RowStream::RowStream(std::string folder, std::vector<DemoDataset> datasets, std::string deviceContextId,
                     std::chrono::milliseconds pace)
    : m_folder(std::move(folder)),
      m_datasets(std::move(datasets)),
      m_deviceContextId(std::move(deviceContextId)),
      m_pace(pace) {}

void RowStream::Start() {
    if (m_thread.joinable()) throw std::logic_error("the row stream was started already");
    m_running = true;
    m_thread = std::thread([this] { Write(); });
}

std::string RowStream::Stop() {
    m_running = false;
    if (m_thread.joinable()) m_thread.join();
    return m_error;
}

void RowStream::Write() {
    using Clock = std::chrono::steady_clock;
    try {
        std::vector<std::unique_ptr<TelemetryRowWriter>> writers;
        for (const DemoDataset& dataset : m_datasets)
            writers.push_back(dataset.deviceContext
                                  ? nullptr
                                  : std::make_unique<TelemetryRowWriter>(m_folder + dataset.DatabaseFile(), "ItemEvent"));
        for (int n = 1; m_running; ++n) {
            const auto next = Clock::now() + m_pace;
            for (size_t i = 0; i < m_datasets.size(); ++i) {
                const DemoDataset& dataset = m_datasets[i];
                if (writers[i])
                    writers[i]->Insert(ItemEventJson(dataset.id, dataset.name, dataset.ItemId(n), m_deviceContextId, n));
            }
            m_written = n;
            // Short steps, so that Stop need not wait a whole pace.
            while (m_running && Clock::now() < next) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    } catch (const std::exception& error) {
        m_error = error.what();
    }
}

}  // namespace datasyncctl
