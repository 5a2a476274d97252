// A router stand-in for port-mapping logic: answers each Map from a script
// and records the requests, so the mapper and the reachability monitor are
// tested without any network.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "net/port_mapper.h"

namespace brindle::test {

class FakeMappingProtocol final : public IMappingProtocol {
  public:
    struct Log {
        std::mutex lock;
        std::vector<std::string> requests;  // "NAT-PMP map 2000 for 3600 s", "UPnP unmap 2000"
        void Add(std::string request) {
            std::lock_guard<std::mutex> guard(lock);
            requests.push_back(std::move(request));
        }
        std::vector<std::string> Get() {
            std::lock_guard<std::mutex> guard(lock);
            return requests;
        }
    };

    // `answers[i]` answers the i-th Map; the last one answers the rest.
    FakeMappingProtocol(MappingMethod method, std::vector<MappingAttempt> answers, Log& log)
        : method_(method), answers_(std::move(answers)), log_(log) {}

    [[nodiscard]] MappingMethod method() const override { return method_; }
    [[nodiscard]] MappingAttempt Map(int port, std::chrono::seconds lease) override {
        log_.Add(std::string(MappingMethodName(method_)) + " map " + std::to_string(port) +
                 " for " + std::to_string(lease.count()) + " s");
        const std::size_t index = calls_ < answers_.size() ? calls_ : answers_.size() - 1;
        ++calls_;
        return answers_[index];
    }
    void Unmap(int port) override {
        log_.Add(std::string(MappingMethodName(method_)) + " unmap " + std::to_string(port));
    }

  private:
    const MappingMethod method_;
    const std::vector<MappingAttempt> answers_;
    std::size_t calls_ = 0;
    Log& log_;
};

inline MappingAttempt MappedAnswer(std::string address, std::chrono::seconds lease) {
    MappingAttempt attempt;
    attempt.outcome = MappingAttempt::Outcome::Mapped;
    attempt.externalAddress = std::move(address);
    attempt.lease = lease;
    return attempt;
}

inline MappingAttempt FailedAnswer(MappingAttempt::Outcome outcome, std::string reason) {
    MappingAttempt attempt;
    attempt.outcome = outcome;
    attempt.reason = std::move(reason);
    return attempt;
}

}  // namespace brindle::test
