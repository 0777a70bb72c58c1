// JSON Lines: one line per record, appended with one write and a sync, so a
// crash never leaves half a line and appends of several stations never land
// inside each other.
#include "sinks/sink.h"

#include "platform.h"

namespace station {

namespace {

class JsonLines : public Sink {
public:
    explicit JsonLines(const std::string& aPath) : mPath(aPath) {}
    std::string Name() const override { return mAppended ? mPath : ""; }
    bool Add(const Record& aRecord, std::string& aError) override
    {
        const bool ok = AppendJsonLine(mPath, ToJson(aRecord), aError);
        mAppended |= ok;
        return ok;
    }
    bool Close(const std::vector<Record>&, std::string&) override { return true; }

private:
    std::string mPath;
    bool mAppended = false;
};

}  // namespace

bool AppendJsonLine(const std::string& aPath, const nlohmann::json& aJson, std::string& aError)
{
    // Replacement characters instead of an exception for bytes that are not
    // UTF-8 (a library text is outside input).
    const std::string line = aJson.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    return AppendDurably(aPath, line, aError);
}

std::unique_ptr<Sink> JsonLinesSink(const std::string& aPath)
{
    return std::make_unique<JsonLines>(aPath);
}

}  // namespace station
