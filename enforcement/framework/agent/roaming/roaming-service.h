/*
 * The roaming service (log tag "[roaming]"): registered by the bundle's activator and
 * initialised once by the service runner at module start. It watches the network
 * location and hands every change to the roaming unit (en-roaming.h), which re-matches
 * the office interface and re-applies the policy.
 */
#pragma once

struct Error;

class IRoamingService {
public:
    virtual ~IRoamingService() = default;
    /* Starts the watch; false with *errp set when it cannot. */
    virtual bool Initialize(Error **errp) = 0;
    /* Stops the watch and waits for a change in progress; idempotent. */
    virtual void Uninitialize() = 0;
    /* Whether roaming can run on this machine. */
    virtual bool Validate(Error **errp) = 0;
};

class RoamingService : public IRoamingService {
public:
    ~RoamingService() override;
    bool Initialize(Error **errp) override;
    void Uninitialize() override;
    bool Validate(Error **errp) override;

private:
    bool watching_ = false;
};

/* The quiet time a burst of network changes must end with before it is acted on (one that
 * never ends is acted on a few of these after it began). */
#define ROAMING_EVENT_DEBOUNCE_MS 500
