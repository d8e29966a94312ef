#include "hint.h"

namespace romlift::advice {

Hint HintFromPortAdvice(const PortAdvice& a) {
    Hint h{a.kind, a.text, Json::object()};
    h.facts["device"] = a.device;
    h.facts["errno"] = a.err;
    Json holders = Json::array();
    for (const ports::Holder& holder : a.holders) {
        holders.push_back(Json{{"pid", holder.pid}, {"program", holder.program}});
    }
    h.facts["holders"] = holders;
    return h;
}

}  // namespace romlift::advice
