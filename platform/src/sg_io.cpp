// Temporary: replaced by the SG_IO backend.
#include "platform/sg_io.h"
#include <cerrno>
namespace platform::storage::sgio {
namespace {
class Unavailable final : public Backend {
 public:
  OpenOutcome open(std::string_view, Sharing) override { return {nullptr, ENOSYS}; }
};
}  // namespace
std::shared_ptr<Backend> makeBackend(IoctlFunction) { return std::make_shared<Unavailable>(); }
}  // namespace platform::storage::sgio
