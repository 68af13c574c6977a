/*
 * The subset of a bundle framework that the agent uses, with the class and method names
 * of the framework it stands in for, so that the real one can replace it. Bundles are
 * shared objects exporting "_us_create_activator_<name>" and
 * "_us_destroy_activator_<name>"; their resources (a "manifest.json" and any files)
 * travel inside the shared object as a zip archive exported as
 * "_us_bundle_resources_<name>" with its size in "_us_bundle_resources_size_<name>".
 */
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

namespace cppmicroservices {

struct FrameworkData;
struct BundleData;

/* The identifier a service interface is registered under: its demangled type name. */
std::string DemangledTypeName(const std::type_info &type);
template <class I> std::string us_service_interface_iid()
{
    return DemangledTypeName(typeid(I));
}

using ServiceProperties = std::map<std::string, std::string>;

template <class I> class ServiceReference {
public:
    ServiceReference() = default;
    explicit ServiceReference(std::shared_ptr<void> service) : service_(std::move(service)) {}
    explicit operator bool() const { return service_ != nullptr; }
    std::shared_ptr<void> Raw() const { return service_; }

private:
    std::shared_ptr<void> service_;
};

class BundleResource {
public:
    BundleResource() = default;
    BundleResource(std::string path, std::string data, uint32_t crc);
    bool IsValid() const { return valid_; }
    std::string GetResourcePath() const { return path_; }
    std::string GetName() const;
    int GetSize() const { return static_cast<int>(data_.size()); }
    uint32_t GetCrc32() const { return crc_; }
    /* The whole content (the stream of the real framework). */
    const std::string &GetData() const { return data_; }

private:
    bool valid_ = false;
    std::string path_;
    std::string data_;
    uint32_t crc_ = 0;
};

class BundleContext;

class Bundle {
public:
    enum State { STATE_INSTALLED = 2, STATE_RESOLVED = 4, STATE_STARTING = 8, STATE_STOPPING = 16, STATE_ACTIVE = 32 };

    Bundle() = default;
    explicit Bundle(std::shared_ptr<BundleData> data) : data_(std::move(data)) {}
    explicit operator bool() const { return data_ != nullptr; }
    std::string GetSymbolicName() const;
    std::string GetLocation() const;
    State GetState() const;
    /* Manifest value as text ("" when absent); the manifest is a flat JSON object. */
    std::string GetHeader(const std::string &key) const;
    BundleResource GetResource(const std::string &path) const;
    std::vector<BundleResource> GetResources() const;
    BundleContext GetBundleContext() const;
    /* Throw std::runtime_error on failure. */
    void Start();
    void Stop();

private:
    std::shared_ptr<BundleData> data_;
};

class BundleContext {
public:
    BundleContext() = default;
    BundleContext(std::shared_ptr<FrameworkData> fw, std::shared_ptr<BundleData> bundle)
        : fw_(std::move(fw)), bundle_(std::move(bundle)) {}
    explicit operator bool() const { return fw_ != nullptr; }

    template <class I>
    void RegisterService(std::shared_ptr<I> service, const ServiceProperties &props = {})
    {
        RegisterRaw(us_service_interface_iid<I>(), std::static_pointer_cast<void>(service), props);
    }
    template <class I> ServiceReference<I> GetServiceReference() const
    {
        return ServiceReference<I>(FindRaw(us_service_interface_iid<I>()));
    }
    template <class I> std::shared_ptr<I> GetService(const ServiceReference<I> &ref) const
    {
        return std::static_pointer_cast<I>(ref.Raw());
    }
    std::vector<Bundle> GetBundles() const;
    Bundle GetBundle() const;
    /* Loads the bundle at location; throws std::runtime_error on failure. */
    std::vector<Bundle> InstallBundles(const std::string &location);

private:
    void RegisterRaw(const std::string &iid, std::shared_ptr<void> service, const ServiceProperties &props);
    std::shared_ptr<void> FindRaw(const std::string &iid) const;

    std::shared_ptr<FrameworkData> fw_;
    std::shared_ptr<BundleData> bundle_;
};

class BundleActivator {
public:
    virtual ~BundleActivator() = default;
    virtual void Start(BundleContext context) = 0;
    virtual void Stop(BundleContext context) = 0;
};

/* The framework itself: owns the installed bundles and the service registry. */
class Framework {
public:
    Framework();
    ~Framework();
    BundleContext GetBundleContext() const;
    /* Stops every started bundle in reverse order and unloads them. */
    void Stop();

private:
    std::shared_ptr<FrameworkData> data_;
};

} // namespace cppmicroservices
