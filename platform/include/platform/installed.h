#pragma once
// The service of a family in force: the one a program or test installed, or
// the real one, made on first use. Any thread may ask for it.

#include <memory>
#include <mutex>
#include <utility>

namespace platform {

template <typename Service>
class Installed {
 public:
  using Factory = std::shared_ptr<Service> (*)();
  explicit Installed(Factory makeDefault) : makeDefault_(makeDefault) {}

  // An empty pointer puts the real service back.
  void install(std::shared_ptr<Service> service) {
    std::lock_guard lock(mutex_);
    service_ = std::move(service);
  }

  std::shared_ptr<Service> current() {
    std::lock_guard lock(mutex_);
    if (!service_) service_ = makeDefault_();
    return service_;
  }

 private:
  Factory makeDefault_;
  std::mutex mutex_;
  std::shared_ptr<Service> service_;
};

}  // namespace platform
