#include "net/port_mapper.h"

#include <utility>

namespace brindle {

std::string_view MappingMethodName(MappingMethod method) {
    switch (method) {
        case MappingMethod::NatPmp:
            return "NAT-PMP";
        case MappingMethod::Upnp:
            return "UPnP";
        case MappingMethod::None:
            break;
    }
    return "none";
}

ExistingMapping ClassifyExistingMapping(std::string_view internalClient,
                                        std::string_view ourAddress) {
    if (internalClient.empty()) {
        return ExistingMapping::None;
    }
    return internalClient == ourAddress ? ExistingMapping::ThisMachine
                                        : ExistingMapping::OtherMachine;
}

std::chrono::seconds NextAttemptDelay(const MappingAttempt& attempt,
                                      const PortMapperOptions& options) {
    if (attempt.outcome != MappingAttempt::Outcome::Mapped) {
        return options.retryAfterFailure;
    }
    std::chrono::seconds granted = attempt.lease.count() > 0 ? attempt.lease : options.lease;
    std::chrono::seconds half = granted / 2;
    return half < options.minimumRenewal ? options.minimumRenewal : half;
}

PortMapper::PortMapper(std::vector<std::unique_ptr<IMappingProtocol>> protocols,
                       PortMapperOptions options)
    : protocols_(std::move(protocols)), options_(std::move(options)) {}

PortMapper::~PortMapper() {
    Stop();
}

void PortMapper::Start() {
    std::lock_guard<std::mutex> guard(lock_);
    if (thread_.joinable() || stopping_) {
        return;
    }
    snapshot_ = MappingSnapshot{};
    snapshot_.state = MappingState::Discovering;
    thread_ = std::thread([this] { Run(); });
}

void PortMapper::Stop() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (stopped_) {
            return;
        }
        stopping_ = stopped_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
    if (mappedWith_ != nullptr) {
        mappedWith_->Unmap(options_.port);
        mappedWith_ = nullptr;
    }
}

MappingSnapshot PortMapper::snapshot() const {
    std::lock_guard<std::mutex> guard(lock_);
    return snapshot_;
}

int PortMapper::attempts() const {
    std::lock_guard<std::mutex> guard(lock_);
    return attempts_;
}

std::chrono::steady_clock::time_point PortMapper::Now() const {
    return options_.clock ? options_.clock() : std::chrono::steady_clock::now();
}

bool PortMapper::WaitUntil(std::chrono::steady_clock::time_point due) {
    std::unique_lock<std::mutex> guard(lock_);
    if (!options_.clock) {
        wake_.wait_until(guard, due, [this] { return stopping_; });
        return !stopping_;
    }
    while (!stopping_ && Now() < due) {
        wake_.wait_for(guard, std::chrono::milliseconds(5), [this] { return stopping_; });
    }
    return !stopping_;
}

void PortMapper::Publish(const MappingSnapshot& snapshot) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (snapshot == snapshot_) {
            return;
        }
        snapshot_ = snapshot;
    }
    if (observer_) {
        observer_(snapshot);
    }
}

// The protocol that holds the mapping renews it; otherwise each protocol is
// asked in turn until one answers with a mapping or a conflict.
MappingAttempt PortMapper::AttemptAll() {
    MappingAttempt last;
    last.reason = "no router answered NAT-PMP or UPnP";
    bool routerAnswered = false;
    for (auto& protocol : protocols_) {
        if (mappedWith_ != nullptr && protocol.get() != mappedWith_) {
            continue;
        }
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (stopping_) {
                break;
            }
            ++attempts_;
        }
        MappingAttempt attempt = protocol->Map(options_.port, options_.lease);
        attempt.method = protocol->method();
        if (attempt.outcome == MappingAttempt::Outcome::Mapped) {
            mappedWith_ = protocol.get();
            return attempt;
        }
        if (attempt.outcome == MappingAttempt::Outcome::Conflict) {
            mappedWith_ = nullptr;
            return attempt;
        }
        if (attempt.outcome == MappingAttempt::Outcome::Failed || !routerAnswered) {
            routerAnswered = routerAnswered || attempt.outcome == MappingAttempt::Outcome::Failed;
            last = std::move(attempt);
        }
        if (mappedWith_ != nullptr) {
            // The renewal failed: the next round asks every protocol afresh.
            mappedWith_ = nullptr;
            return last;
        }
    }
    return last;
}

void PortMapper::Run() {
    for (;;) {
        MappingAttempt attempt = AttemptAll();
        MappingSnapshot next;
        next.externalAddress = attempt.externalAddress;
        next.reason = attempt.reason;
        switch (attempt.outcome) {
            case MappingAttempt::Outcome::Mapped:
                next.state = MappingState::Mapped;
                next.externalPort = options_.port;
                next.reason.clear();
                break;
            case MappingAttempt::Outcome::Conflict:
                next.state = MappingState::Conflict;
                break;
            case MappingAttempt::Outcome::Failed:
                next.state = MappingState::Failed;
                break;
            case MappingAttempt::Outcome::NoRouter:
                next.state = MappingState::NoRouter;
                break;
        }
        if (attempt.outcome != MappingAttempt::Outcome::NoRouter) {
            next.method = attempt.method;
        }
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (stopping_) {
                return;
            }
        }
        Publish(next);
        if (!WaitUntil(Now() + NextAttemptDelay(attempt, options_))) {
            return;
        }
    }
}

}  // namespace brindle
