#include "sim/nubox/hosted_board.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "nuboxlink/interface/registry.h"

namespace nubox_sim {

std::unique_ptr<HostedProfibusBoard> HostedProfibusBoard::start(
    const romtide::sim::DpSegmentConfig& segment, std::string* error, int device) {
    if (std::string why = romtide::sim::checkDpSegment(segment); !why.empty()) {
        *error = why;
        return nullptr;
    }
    std::unique_ptr<HostedProfibusBoard> host(new HostedProfibusBoard());
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/romtide-profibus-XXXXXX";
    if (!mkdtemp(templ.data())) {
        *error =
            "cannot make a folder for the simulated board (" + templ + "): " + std::strerror(errno);
        return nullptr;
    }
    host->folder_ = templ;
    host->driverDir_ = templ + "/drivers";
    host->registry_ = templ + "/registry.reg";
    if (mkdir(host->driverDir_.c_str(), 0700) != 0) {
        *error = "cannot make " + host->driverDir_ + ": " + std::strerror(errno);
        return nullptr;
    }

    BoardSetup setup;
    setup.kind = BoardKind::Pci;
    setup.id = kBoardId;
    nuboxlink::RegFile file;
    file.findOrAdd(nuboxlink::kDevicesKey);
    file.findOrAdd(nuboxlink::deviceKeyName(device))["PCI-Board"] =
        nuboxlink::RegValue::ofDword(kBoardId);
    {
        std::ofstream out(host->registry_, std::ios::binary);
        out << nuboxlink::formatRegFile(file);
        if (!out.flush()) {
            *error = "cannot write " + host->registry_;
            return nullptr;
        }
    }

    host->board_ = std::make_unique<SimBoard>(setup, host->clock_);
    host->segment_ = std::make_unique<ProfibusSegment>(*host->board_, host->scheduler_, segment);
    host->server_ = std::make_unique<EndpointServer>(host->driverDir_);
    if (!host->server_->add(*host->board_, deviceName(setup), error)) {
        return nullptr;
    }
    HostedProfibusBoard* self = host.get();
    host->thread_ = std::thread([self] { self->server_->run(self->stop_); });
    return host;
}

HostedProfibusBoard::~HostedProfibusBoard() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    server_.reset();
    // The bus stops before the stations and the board it reaches into go.
    scheduler_.stop();
    segment_.reset();
    board_.reset();
    if (!folder_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }
}

std::string HostedProfibusBoard::dumpStations(const std::string& dir) const {
    return segment_->dumpStations(dir);
}

romtide::sim::SimEncoder* HostedProfibusBoard::encoder(int address) const {
    return segment_->encoder(address);
}

romtide::sim::DpMaster& HostedProfibusBoard::master() {
    return segment_->master();
}

}  // namespace nubox_sim
