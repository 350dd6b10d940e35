// The C handle of a master: the tarnwick::Master it owns, the callbacks and the
// listener that forwards the Master's reports to them.
#pragma once

#include "tarnwick/master.hpp"
#include "tarnwick/tarnwick.h"

namespace tarnwick::capi {

class Listener : public tarnwick::MasterListener {
  public:
    explicit Listener(tarnwick_master* handle) : handle_(handle) {}
    void on_error(Master& m, Transition t, const char* message) override;
    void on_state_change(Master& m, StateId from, StateId to) override;

  private:
    tarnwick_master* handle_;
};

} // namespace tarnwick::capi

struct tarnwick_master {
    explicit tarnwick_master(const tarnwick::MasterConfig& config)
        : master(config), listener(this) {}

    // The listener is installed only while a callback is set: the cycle then calls no
    // hook at all.
    void set_callbacks(const tarnwick_master_callbacks& cb) {
        callbacks = cb;
        tarnwick::MasterHooks hooks = master.hooks();
        hooks.listener = cb.on_error || cb.on_state_change ? &listener : nullptr;
        master.set_hooks(hooks);
    }

    tarnwick::Master master;
    tarnwick::capi::Listener listener;
    tarnwick_master_callbacks callbacks{};
    unsigned callback_depth = 0;
};
