// Tests and benchmarks bind the program's one loader to whatever stands in
// for the adapters in the case at hand.
#pragma once

#include "loader/loader.h"

namespace VantriTest {

class LoaderSwitch final : public Vantri::Loader {
public:
    void Use(Vantri::Loader* target) { target_ = target; }
    Vantri::Loader* Target() const { return target_; }

    bool EnumerateDevices(std::uint32_t& count) override;
    void CloseDevice(std::uint32_t index) override;
    Vantri::ResultRecord WriteReport(std::uint32_t index, const Vantri::CommandFrame& payload) override;
    Vantri::ResultRecord ReadReport(std::uint32_t index, Vantri::CommandFrame& destination,
                                    std::uint32_t timeoutMs) override;
    std::u16string_view DevicePath(std::uint32_t index) const override
    {
        return target_ ? target_->DevicePath(index) : std::u16string_view();
    }
    std::span<const Vantri::PassedOverInterface> PassedOver() const override
    {
        return target_ ? target_->PassedOver() : std::span<const Vantri::PassedOverInterface>();
    }

private:
    Vantri::Loader* target_ = nullptr;
};

// The object that g_loader refers to in test and benchmark programs.
LoaderSwitch& Loaders();

// Binds g_loader to `target` for the life of the guard.
class ScopedLoader {
public:
    explicit ScopedLoader(Vantri::Loader& target) : previous_(Loaders().Target()) { Loaders().Use(&target); }
    ~ScopedLoader() { Loaders().Use(previous_); }
    ScopedLoader(const ScopedLoader&) = delete;
    ScopedLoader& operator=(const ScopedLoader&) = delete;

private:
    Vantri::Loader* previous_;
};

} // namespace VantriTest
