#include "agent-common/osgi/framework.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <zip.h>

#include <cstdlib>
#include <mutex>

#include "qobject/qdict.h"
#include "qobject/qjson.h"
#include "qobject/qstring.h"
#include "util/error.h"

namespace cppmicroservices {

struct Registration {
    std::string iid;
    std::shared_ptr<void> service;
    ServiceProperties props;
    BundleData *owner;
};

struct FrameworkData {
    std::recursive_mutex lock;
    std::vector<std::shared_ptr<BundleData>> bundles;
    std::vector<Registration> services; /* registration order */
};

struct BundleData {
    std::weak_ptr<FrameworkData> fw;
    std::string location;
    std::string name;
    std::map<std::string, std::string> manifest;
    std::map<std::string, BundleResource> resources;
    void *handle = nullptr;
    BundleActivator *activator = nullptr;
    Bundle::State state = Bundle::STATE_INSTALLED;
};

std::string DemangledTypeName(const std::type_info &type)
{
    int status = 0;
    char *name = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    std::string out = status == 0 && name ? name : type.name();
    free(name);
    return out;
}

BundleResource::BundleResource(std::string path, std::string data, uint32_t crc)
    : valid_(true), path_(std::move(path)), data_(std::move(data)), crc_(crc)
{
}

std::string BundleResource::GetName() const
{
    size_t slash = path_.rfind('/');
    return slash == std::string::npos ? path_ : path_.substr(slash + 1);
}

namespace {

[[noreturn]] void fail(const std::string &what)
{
    throw std::runtime_error(what);
}

void read_resources(BundleData &b, const char *bytes, size_t size)
{
    zip_error_t zerr;
    zip_error_init(&zerr);
    zip_source_t *src = zip_source_buffer_create(bytes, size, 0, &zerr);
    zip_t *zip = src ? zip_open_from_source(src, ZIP_RDONLY, &zerr) : nullptr;
    if (!zip) {
        std::string msg = zip_error_strerror(&zerr);
        if (src) {
            zip_source_free(src);
        }
        zip_error_fini(&zerr);
        fail("bundle '" + b.location + "' has unreadable resources: " + msg);
    }
    zip_error_fini(&zerr);
    zip_int64_t n = zip_get_num_entries(zip, 0);
    for (zip_int64_t i = 0; i < n; i++) {
        zip_stat_t st;
        if (zip_stat_index(zip, i, 0, &st) != 0 || !(st.valid & ZIP_STAT_NAME)) {
            continue;
        }
        std::string path = st.name;
        if (path.empty() || path.back() == '/') {
            continue;
        }
        std::string data(st.size, '\0');
        zip_file_t *f = zip_fopen_index(zip, i, 0);
        if (!f || zip_fread(f, data.data(), st.size) != static_cast<zip_int64_t>(st.size)) {
            if (f) {
                zip_fclose(f);
            }
            zip_close(zip);
            fail("bundle '" + b.location + "': can't read resource '" + path + "'");
        }
        zip_fclose(f);
        b.resources.emplace(path, BundleResource(path, std::move(data), st.crc));
    }
    zip_close(zip);
}

void read_manifest(BundleData &b)
{
    auto it = b.resources.find("manifest.json");
    if (it == b.resources.end()) {
        fail("bundle '" + b.location + "' has no manifest.json");
    }
    const std::string &text = it->second.GetData();
    Error *err = nullptr;
    QObject *obj = qobject_from_json_len(text.data(), text.size(), &err);
    QDict *dict = qobject_to_qdict(obj);
    if (!dict) {
        std::string why = err ? error_get_message(err) : "not a JSON object";
        error_free(err);
        qobject_decref(obj);
        fail("bundle '" + b.location + "' has an unreadable manifest: " + why);
    }
    for (const QDictEntry *e = qdict_first(dict); e; e = qdict_next(dict, e)) {
        if (QString *s = qobject_to_qstring(e->value)) {
            b.manifest[e->key] = qstring_get_str(s);
        } else {
            QString *json = qobject_to_json(e->value);
            b.manifest[e->key] = qstring_get_str(json);
            qobject_decref(QOBJECT(json));
        }
    }
    qobject_decref(obj);
    b.name = b.manifest["bundle.symbolic_name"];
    if (b.name.empty()) {
        fail("bundle '" + b.location + "' has no bundle.symbolic_name");
    }
}

void drop_services_of(FrameworkData &fw, BundleData *owner)
{
    std::vector<Registration> kept;
    for (auto &r : fw.services) {
        if (r.owner != owner) {
            kept.push_back(std::move(r));
        }
    }
    fw.services.swap(kept);
}

} // namespace

std::string Bundle::GetSymbolicName() const
{
    return data_->name;
}

std::string Bundle::GetLocation() const
{
    return data_->location;
}

Bundle::State Bundle::GetState() const
{
    return data_->state;
}

std::string Bundle::GetHeader(const std::string &key) const
{
    auto it = data_->manifest.find(key);
    return it == data_->manifest.end() ? "" : it->second;
}

BundleResource Bundle::GetResource(const std::string &path) const
{
    auto it = data_->resources.find(path);
    return it == data_->resources.end() ? BundleResource() : it->second;
}

std::vector<BundleResource> Bundle::GetResources() const
{
    std::vector<BundleResource> out;
    for (const auto &[path, res] : data_->resources) {
        out.push_back(res);
    }
    return out;
}

BundleContext Bundle::GetBundleContext() const
{
    return BundleContext(data_->fw.lock(), data_);
}

void Bundle::Start()
{
    if (data_->state == STATE_ACTIVE) {
        return;
    }
    std::string symbol = "_us_create_activator_" + data_->name;
    auto create = reinterpret_cast<BundleActivator *(*)()>(dlsym(data_->handle, symbol.c_str()));
    if (!create) {
        fail("bundle '" + data_->name + "' does not export " + symbol);
    }
    data_->state = STATE_STARTING;
    data_->activator = create();
    data_->activator->Start(GetBundleContext());
    data_->state = STATE_ACTIVE;
}

void Bundle::Stop()
{
    if (data_->state != STATE_ACTIVE) {
        return;
    }
    data_->state = STATE_STOPPING;
    data_->activator->Stop(GetBundleContext());
    if (auto fw = data_->fw.lock()) {
        std::lock_guard<std::recursive_mutex> guard(fw->lock);
        drop_services_of(*fw, data_.get());
    }
    std::string symbol = "_us_destroy_activator_" + data_->name;
    if (auto destroy = reinterpret_cast<void (*)(BundleActivator *)>(dlsym(data_->handle, symbol.c_str()))) {
        destroy(data_->activator);
    }
    data_->activator = nullptr;
    data_->state = STATE_RESOLVED;
}

std::vector<Bundle> BundleContext::GetBundles() const
{
    std::lock_guard<std::recursive_mutex> guard(fw_->lock);
    std::vector<Bundle> out;
    for (const auto &b : fw_->bundles) {
        out.emplace_back(b);
    }
    return out;
}

Bundle BundleContext::GetBundle() const
{
    return Bundle(bundle_);
}

std::vector<Bundle> BundleContext::InstallBundles(const std::string &location)
{
    auto b = std::make_shared<BundleData>();
    b->fw = fw_;
    b->location = location;
    b->handle = dlopen(location.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!b->handle) {
        fail("can't load bundle '" + location + "': " + dlerror());
    }
    auto bytes = static_cast<const char *>(dlsym(b->handle, "_us_bundle_resources"));
    auto size = static_cast<const size_t *>(dlsym(b->handle, "_us_bundle_resources_size"));
    try {
        if (!bytes || !size) {
            fail("bundle '" + location + "' carries no resources");
        }
        read_resources(*b, bytes, *size);
        read_manifest(*b);
    } catch (...) {
        b->resources.clear();
        dlclose(b->handle);
        throw;
    }
    b->state = Bundle::STATE_RESOLVED;
    std::lock_guard<std::recursive_mutex> guard(fw_->lock);
    fw_->bundles.push_back(b);
    return {Bundle(b)};
}

void BundleContext::RegisterRaw(const std::string &iid, std::shared_ptr<void> service,
                                const ServiceProperties &props)
{
    std::lock_guard<std::recursive_mutex> guard(fw_->lock);
    fw_->services.push_back(Registration{iid, std::move(service), props, bundle_.get()});
}

std::shared_ptr<void> BundleContext::FindRaw(const std::string &iid) const
{
    std::lock_guard<std::recursive_mutex> guard(fw_->lock);
    for (const auto &r : fw_->services) {
        if (r.iid == iid) {
            return r.service;
        }
    }
    return nullptr;
}

Framework::Framework() : data_(std::make_shared<FrameworkData>()) {}

Framework::~Framework()
{
    Stop();
}

BundleContext Framework::GetBundleContext() const
{
    return BundleContext(data_, nullptr);
}

void Framework::Stop()
{
    std::vector<std::shared_ptr<BundleData>> bundles;
    {
        std::lock_guard<std::recursive_mutex> guard(data_->lock);
        bundles.swap(data_->bundles);
    }
    for (auto it = bundles.rbegin(); it != bundles.rend(); ++it) {
        Bundle(*it).Stop();
    }
    {
        /* Services may live in the bundles' code: release them before unloading it. */
        std::lock_guard<std::recursive_mutex> guard(data_->lock);
        data_->services.clear();
    }
    for (auto it = bundles.rbegin(); it != bundles.rend(); ++it) {
        (*it)->resources.clear();
        if ((*it)->handle) {
            dlclose((*it)->handle);
            (*it)->handle = nullptr;
        }
    }
}

} // namespace cppmicroservices
