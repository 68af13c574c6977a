/* The enforcement bundle's entry points: the framework creates the activator through them. */
#include <memory>

#include "agent-common/osgi/framework.h"
#include "enforcement/framework/agent/enforcement-runner.h"
#include "enforcement/framework/agent/roaming/roaming-service.h"

class EnfocementActivator : public cppmicroservices::BundleActivator {
public:
    void Start(cppmicroservices::BundleContext context) override
    {
        context.RegisterService<IServiceRunner>(std::make_shared<EnforcementServiceRunner>());
        context.RegisterService<IRoamingService>(std::make_shared<RoamingService>());
    }
    void Stop(cppmicroservices::BundleContext) override {}
};

extern "C" __attribute__((visibility("default"))) cppmicroservices::BundleActivator *_us_create_activator_enforcement()
{
    return new EnfocementActivator();
}

extern "C" __attribute__((visibility("default"))) void _us_destroy_activator_enforcement(cppmicroservices::BundleActivator *activator)
{
    delete activator;
}
