/* A small bundle for the framework tests: one service and a few resources. */
#include <memory>
#include <string>

#include "agent-common/osgi/framework.h"
#include "test-greeter.h"

namespace {
class Greeter : public ITestGreeter {
public:
    std::string Greet(const std::string &who) override { return "hello " + who; }
};

class TestActivator : public cppmicroservices::BundleActivator {
public:
    void Start(cppmicroservices::BundleContext context) override
    {
        context.RegisterService<ITestGreeter>(std::make_shared<Greeter>());
    }
    void Stop(cppmicroservices::BundleContext) override {}
};
} // namespace

extern "C" __attribute__((visibility("default"))) cppmicroservices::BundleActivator *_us_create_activator_testbundle()
{
    return new TestActivator();
}

extern "C" __attribute__((visibility("default"))) void _us_destroy_activator_testbundle(cppmicroservices::BundleActivator *a)
{
    delete a;
}
