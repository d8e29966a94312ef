#include "row_values.h"

namespace romlift::record::detail {

namespace {

enum Col {
    kRowKey,
    kStarted,
    kEnded,
    kDuration,
    kHost,
    kUser,
    kProgram,
    kVersion,
    kPort,
    kDevice,
    kAdapter,
    kModel,
    kTypeCode,
    kImagePath,
    kImageSize,
    kSha,
    kXor,
    kFramesConfirmed,
    kFramesTotal,
    kOutcome,
    kStatus,
    kStation,
    kOperator,
    kRunId,
    kEndedAt,
    kUnitSerial,
    kLot,
    kReleaseList,
    kReleaseKey
};

}  // namespace

bool IsIntegerColumn(int index) {
    switch (index) {
        case kDuration:
        case kTypeCode:
        case kImageSize:
        case kXor:
        case kFramesConfirmed:
        case kFramesTotal:
            return true;
        default:
            return false;
    }
}

std::string UpdateAssignments(const std::string& prefix) {
    std::string out;
    std::string_view rest = kColumns;
    bool first = true;
    while (!rest.empty()) {
        const size_t comma = rest.find(", ");
        const std::string_view name = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 2);
        if (name == "row_key") {
            continue;
        }
        out += (first ? "" : ", ") + std::string(name) + " = " + prefix + std::string(name);
        first = false;
    }
    return out;
}

std::vector<Value> RowValues(const DownloadRow& r) {
    std::vector<Value> v(kColumnCount);
    v[kRowKey] = r.rowKey;
    v[kStarted] = r.startedUtc;
    if (!r.endedUtc.empty()) {  // NULL while unfinished
        v[kEnded] = r.endedUtc;
    }
    v[kDuration] = r.durationMs;
    v[kHost] = r.host;
    v[kUser] = r.user;
    v[kProgram] = r.program;
    v[kVersion] = r.version;
    v[kPort] = r.port;
    v[kDevice] = r.device;
    v[kAdapter] = r.adapter;
    v[kModel] = r.model;
    v[kTypeCode] = r.typeCode;
    v[kImagePath] = r.imagePath;
    v[kImageSize] = r.imageSize;
    v[kSha] = r.imageSha256;
    if (r.imageXor) {
        v[kXor] = static_cast<int64_t>(*r.imageXor);
    }
    v[kFramesConfirmed] = r.framesConfirmed;
    v[kFramesTotal] = r.framesTotal;
    v[kOutcome] = std::string(OutcomeName(r.outcome));
    v[kStatus] = r.statusText;
    v[kStation] = r.station;
    v[kOperator] = r.operatorName;
    v[kRunId] = r.runId;
    v[kEndedAt] = r.endedAt;
    v[kUnitSerial] = r.unitSerial;
    v[kLot] = r.lot;
    v[kReleaseList] = r.releaseListSha256;
    v[kReleaseKey] = r.releaseKey;
    return v;
}

bool RowFromValues(int64_t id, const std::vector<Value>& v, DownloadRow* r, std::string* why) {
    if (static_cast<int>(v.size()) != kColumnCount) {
        *why = "the row has " + std::to_string(v.size()) + " columns";
        return false;
    }
    int bad = -1;
    auto text = [&](int i) -> std::string {
        if (const auto* s = std::get_if<std::string>(&v[i])) {
            return *s;
        }
        bad = i;
        return {};
    };
    auto integer = [&](int i) -> int64_t {
        if (const auto* n = std::get_if<int64_t>(&v[i])) {
            return *n;
        }
        bad = i;
        return 0;
    };
    r->id = id;
    r->rowKey = text(kRowKey);
    r->startedUtc = text(kStarted);
    r->endedUtc.clear();
    if (!std::holds_alternative<std::monostate>(v[kEnded])) {
        r->endedUtc = text(kEnded);
    }
    r->durationMs = integer(kDuration);
    r->host = text(kHost);
    r->user = text(kUser);
    r->program = text(kProgram);
    r->version = text(kVersion);
    r->port = text(kPort);
    r->device = text(kDevice);
    r->adapter = text(kAdapter);
    r->model = text(kModel);
    r->typeCode = integer(kTypeCode);
    r->imagePath = text(kImagePath);
    r->imageSize = integer(kImageSize);
    r->imageSha256 = text(kSha);
    r->imageXor.reset();
    if (!std::holds_alternative<std::monostate>(v[kXor])) {
        r->imageXor = static_cast<int>(integer(kXor));
    }
    r->framesConfirmed = integer(kFramesConfirmed);
    r->framesTotal = integer(kFramesTotal);
    const std::string outcome = text(kOutcome);
    r->statusText = text(kStatus);
    r->station = text(kStation);
    r->operatorName = text(kOperator);
    r->runId = text(kRunId);
    r->endedAt = text(kEndedAt);
    r->unitSerial = text(kUnitSerial);
    r->lot = text(kLot);
    r->releaseListSha256 = text(kReleaseList);
    r->releaseKey = text(kReleaseKey);
    if (bad >= 0) {
        *why = "row " + std::to_string(id) + ": column " + std::to_string(bad + 1) +
               " has the wrong type";
        return false;
    }
    const auto o = ParseOutcome(outcome);
    if (!o) {
        *why = "row " + std::to_string(id) + ": unknown outcome \"" + outcome + "\"";
        return false;
    }
    r->outcome = *o;
    return true;
}

}  // namespace romlift::record::detail
