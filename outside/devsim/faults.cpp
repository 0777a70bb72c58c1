// Random fault injection over a transport (see faults.h).
#include "faults.h"

#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>
#include <vector>

namespace devsim {

namespace {

const char* const kKindNames[kFaultKinds] = {"open", "read", "write", "flip", "e2read", "e2write", "flashburn"};

FaultCounts& ProcessCounts()
{
    static FaultCounts counts;
    return counts;
}

std::map<uint32_t, std::vector<std::shared_ptr<FaultLayer>>>& Layers()
{
    static std::map<uint32_t, std::vector<std::shared_ptr<FaultLayer>>> layers;
    return layers;
}

const std::vector<std::shared_ptr<FaultLayer>>* LayersOf(uint32_t aStream)
{
    auto& layers = Layers();
    auto it = layers.find(aStream);
    return it == layers.end() ? nullptr : &it->second;
}

bool ParseProbability(const std::string& aText, double& aValue)
{
    if (aText.empty() || aText[0] == ' ') return false;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(aText.c_str(), &end);
    if (errno != 0 || end == aText.c_str() || *end != '\0' || !std::isfinite(v) || v < 0 || v > 1)
        return false;
    aValue = v;
    return true;
}

}  // namespace

const char* FaultKindName(FaultKind aKind)
{
    int i = static_cast<int>(aKind);
    return i >= 0 && i < kFaultKinds ? kKindNames[i] : "?";
}

bool FaultLayer::Parse(const std::string& aOptions, std::string& aError)
{
    *this = FaultLayer();
    size_t pos = 0;
    while (pos <= aOptions.size()) {
        size_t comma = aOptions.find(',', pos);
        if (comma == std::string::npos) comma = aOptions.size();
        const std::string item = aOptions.substr(pos, comma - pos);
        pos = comma + 1;
        if (item.empty()) continue;
        const size_t eq = item.find('=');
        if (eq == std::string::npos) {
            aError = "fault option \"" + item + "\" has no value";
            return false;
        }
        const std::string key = item.substr(0, eq);
        const std::string value = item.substr(eq + 1);
        bool ok = false;
        bool known = false;
        if (key == "seed") {
            known = true;
            ok = ParseNumber(value, UINT64_MAX, mSeed);
        } else {
            for (int k = 0; k < kFaultKinds; ++k) {
                if (key == kKindNames[k]) {
                    known = true;
                    ok = ParseProbability(value, mProbability[k]);
                }
            }
        }
        if (!known) {
            aError = "unknown fault option \"" + key +
                     "\"; fault options: seed, open, read, write, flip, e2read, e2write, flashburn";
            return false;
        }
        if (!ok) {
            aError = "bad value \"" + value + "\" for fault option \"" + key + "\"";
            return false;
        }
    }
    mState = mSeed;
    return true;
}

// splitmix64: small, fast, and the same sequence on every platform.
uint64_t FaultLayer::Next()
{
    uint64_t z = (mState += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

bool FaultLayer::Hit(FaultKind aKind)
{
    const int k = static_cast<int>(aKind);
    const double p = mProbability[k];
    if (p <= 0) return false;
    if (p < 1 && static_cast<double>(Next() >> 11) * 0x1.0p-53 >= p) return false;
    ++mCounts.byKind[k];
    ++ProcessCounts().byKind[k];
    return true;
}

uint32_t FaultLayer::Below(uint32_t aCount)
{
    return aCount == 0 ? 0 : static_cast<uint32_t>(Next() % aCount);
}

uint16_t FaultLayer::OneBit()
{
    return static_cast<uint16_t>(1u << (Next() % 16));
}

void FaultLayer::NotePassedOn()
{
    ++mCounts.flipsPassedOn;
    ++ProcessCounts().flipsPassedOn;
}

bool ParseFaultTransport(const char* aTransport, bool& aIsFault, FaultLayer& aLayer, std::string& aInner,
                         std::string& aError)
{
    aIsFault = false;
    if (aTransport == nullptr) return true;
    const std::string text(aTransport);
    if (text.compare(0, 6, "fault:") != 0) return true;
    aIsFault = true;
    const size_t slash = text.find('/', 6);
    if (slash == std::string::npos) {
        aError = "fault transport \"" + text + "\" names no inner transport (fault:OPTIONS/INNER)";
        return false;
    }
    if (!aLayer.Parse(text.substr(6, slash - 6), aError)) return false;
    aInner = text.substr(slash + 1);
    return true;
}

void AttachFaults(uint32_t aStream, std::shared_ptr<FaultLayer> aLayer)
{
    if (aLayer) Layers()[aStream].push_back(std::move(aLayer));
}

void DetachFaults(uint32_t aStream)
{
    Layers().erase(aStream);
}

bool InjectFault(uint32_t aStream, FaultKind aKind)
{
    const auto* layers = LayersOf(aStream);
    if (layers == nullptr) return false;
    for (const auto& layer : *layers)
        if (layer->Hit(aKind)) return true;
    return false;
}

bool InjectFlip(uint32_t aStream, uint32_t aCount, uint32_t& aIndex, uint16_t& aMask)
{
    const auto* layers = LayersOf(aStream);
    if (layers == nullptr || aCount == 0) return false;
    for (const auto& layer : *layers) {
        if (layer->Hit(FaultKind::Flip)) {
            aIndex = layer->Below(aCount);
            aMask = layer->OneBit();
            return true;
        }
    }
    return false;
}

void NoteFlipPassedOn(uint32_t aStream)
{
    const auto* layers = LayersOf(aStream);
    if (layers != nullptr && !layers->empty()) layers->front()->NotePassedOn();
}

FaultCounts FaultsOf(uint32_t aStream)
{
    FaultCounts sum;
    const auto* layers = LayersOf(aStream);
    if (layers == nullptr) return sum;
    for (const auto& layer : *layers) {
        for (int k = 0; k < kFaultKinds; ++k) sum.byKind[k] += layer->counts().byKind[k];
        sum.flipsPassedOn += layer->counts().flipsPassedOn;
    }
    return sum;
}

FaultCounts InjectedFaults()
{
    return ProcessCounts();
}

void ResetInjectedFaults()
{
    ProcessCounts() = FaultCounts();
}

}  // namespace devsim
