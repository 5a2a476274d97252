#include "app/reachability_monitor.h"

#include <cstdlib>
#include <utility>

namespace brindle {

ReachabilityStatus CombineReachability(const MappingSnapshot& mapping,
                                       std::optional<ReachAnswer> probe, int port) {
    ReachabilityStatus status;
    status.mapping = mapping;
    status.probe = probe;
    status.port = port;
    if (probe == ReachAnswer::Reachable) {
        status.reachable = Reachability::Reachable;
    } else if (probe == ReachAnswer::Unreachable) {
        status.reachable = Reachability::NotReachable;
    }
    return status;
}

std::string NotReachableReason(const ReachabilityStatus& status) {
    const std::string port = std::to_string(status.port);
    switch (status.mapping.state) {
        case MappingState::Off:
            return "port mapping is off and the directory could not connect to port " + port;
        case MappingState::NoRouter:
            return "no router answered NAT-PMP or UPnP";
        case MappingState::Conflict:
        case MappingState::Failed:
            if (!status.mapping.reason.empty()) {
                return status.mapping.reason;
            }
            break;
        case MappingState::Mapped:
            return "the router maps port " + port + ", but the directory could not connect to it";
        case MappingState::Discovering:
            break;
    }
    return "the directory could not connect to port " + port;
}

bool ReachabilityAllowedByEnvironment() {
    const char* off = std::getenv("BRINDLENET_NO_REACHABILITY");
    return off == nullptr || off[0] == '\0';
}

ReachabilityMonitor::ReachabilityMonitor(Probe probe, ReachabilityOptions options)
    : probe_(std::move(probe)), options_(std::move(options)) {
    status_ = CombineReachability(mapping_, std::nullopt, options_.port);
}

ReachabilityMonitor::~ReachabilityMonitor() {
    Stop();
}

void ReachabilityMonitor::Start(bool portMapping) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (started_ || stopping_ || !options_.enabled) {
            return;
        }
        started_ = true;
    }
    SetPortMapping(portMapping);
    probeThread_ = std::thread([this] { RunProbes(); });
}

void ReachabilityMonitor::SetPortMapping(bool portMapping) {
    std::lock_guard<std::mutex> mapperGuard(mapperLock_);
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!started_ || stopping_ || portMapping == (mapper_ != nullptr)) {
            return;
        }
    }
    if (!portMapping) {
        mapper_->Stop();
        mapper_.reset();
        Update(MappingSnapshot{}, std::nullopt);
        return;
    }
    PortMapperOptions mapperOptions = options_.mapper;
    mapperOptions.port = options_.port;
    mapper_ = std::make_unique<PortMapper>(options_.protocols(), mapperOptions);
    mapper_->SetObserver([this](const MappingSnapshot& snapshot) { Update(snapshot, {}); });
    MappingSnapshot discovering;
    discovering.state = MappingState::Discovering;
    Update(discovering, std::nullopt);
    mapper_->Start();
}

void ReachabilityMonitor::ProbeSoon() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        probeRequested_ = true;
    }
    wake_.notify_all();
}

void ReachabilityMonitor::Stop() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (stopping_) {
            return;
        }
        stopping_ = true;
    }
    wake_.notify_all();
    if (probeThread_.joinable()) {
        probeThread_.join();
    }
    std::lock_guard<std::mutex> mapperGuard(mapperLock_);
    if (mapper_) {
        mapper_->Stop();  // removes the mapping
        mapper_.reset();
    }
}

ReachabilityStatus ReachabilityMonitor::status() const {
    std::lock_guard<std::mutex> guard(lock_);
    return status_;
}

int ReachabilityMonitor::probes() const {
    std::lock_guard<std::mutex> guard(lock_);
    return probes_;
}

void ReachabilityMonitor::Update(std::optional<MappingSnapshot> mapping,
                                 std::optional<ReachAnswer> probe) {
    std::lock_guard<std::mutex> notifyGuard(notifyLock_);
    ReachabilityStatus next;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (mapping) {
            mapping_ = std::move(*mapping);
        }
        if (probe) {
            lastProbe_ = probe;
        }
        next = CombineReachability(mapping_, lastProbe_, options_.port);
        if (next == status_) {
            return;
        }
        status_ = next;
    }
    wake_.notify_all();  // a mapping attempt ended: a waiting probe may go
    if (observer_) {
        observer_(next);
    }
}

void ReachabilityMonitor::RunProbes() {
    std::unique_lock<std::mutex> guard(lock_);
    auto due = std::chrono::steady_clock::now() + options_.probeInterval;
    for (;;) {
        // The probe waits for the request or its interval, and for the first
        // mapping attempt to end, so it sees what the mapping achieved.
        wake_.wait_until(guard, due, [this] {
            return stopping_ || (probeRequested_ && mapping_.state != MappingState::Discovering);
        });
        if (stopping_) {
            return;
        }
        if (!probeRequested_ && std::chrono::steady_clock::now() < due) {
            continue;
        }
        if (mapping_.state == MappingState::Discovering) {
            probeRequested_ = true;  // the interval passed while mapping: probe once it ends
            due = std::chrono::steady_clock::now() + options_.probeInterval;
            continue;
        }
        probeRequested_ = false;
        ++probes_;
        guard.unlock();
        const ReachAnswer answer = probe_();
        Update(std::nullopt, answer);
        guard.lock();
        due = std::chrono::steady_clock::now() + options_.probeInterval;
    }
}

}  // namespace brindle
