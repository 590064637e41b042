#include "platform/qt/qt_status_item.h"

namespace orvo::qt {

namespace {
class NullStatusItem : public StatusItem {
public:
    bool hasButton() const override { return false; }
    bool setImage(const std::string&, const std::string&) override { return false; }
    void setToolTip(const std::string&) override {}
    void setMenu(std::vector<MenuItem>) override {}
};
} // namespace

std::unique_ptr<StatusItem> createStatusItem() { return std::make_unique<NullStatusItem>(); }

} // namespace orvo::qt
