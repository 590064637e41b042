#include "app/engine_switches.h"

#include <algorithm>

namespace orvo {

namespace {

constexpr std::string_view kDisableFeatures = "--disable-features=";
constexpr std::string_view kUnthrottled[] = {
    "--disable-background-timer-throttling",
    "--disable-renderer-backgrounding",
    "--disable-backgrounding-occluded-windows",
};
constexpr std::string_view kUnthrottledFeature = "IntensiveWakeUpThrottling";

// One switch of a flags text: as the user wrote it, and as the engine reads
// it (quotes gone).
struct Switch {
    std::string written;
    std::string value;
};

// The engine's own way of splitting the variable: a space outside quotes
// ends a switch, quotes vanish.
std::vector<Switch> split(std::string_view text) {
    std::vector<Switch> switches;
    enum class State { between, quoted, unquoted } state = State::between;
    std::size_t start = 0;
    std::string value;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (state == State::between) {
            if (c == ' ')
                continue;
            start = i;
            state = c == '"' ? State::quoted : State::unquoted;
            if (c != '"')
                value += c;
        } else if (state == State::quoted) {
            if (c == '"')
                state = State::unquoted;
            else
                value += c;
        } else if (c == '"') {
            state = State::quoted;
        } else if (c == ' ') {
            switches.push_back({std::string(text.substr(start, i - start)), std::move(value)});
            value.clear();
            state = State::between;
        } else {
            value += c;
        }
    }
    if (state != State::between) {
        // An open quote would swallow the switches added after it.
        switches.push_back({std::string(text.substr(start)) + (state == State::quoted ? "\"" : ""), value});
    }
    return switches;
}

void addFeatures(std::string_view list, std::vector<std::string>& features) {
    while (!list.empty()) {
        const std::size_t comma = std::min(list.find(','), list.size());
        const std::string name(list.substr(0, comma));
        if (!name.empty() && std::find(features.begin(), features.end(), name) == features.end())
            features.push_back(name);
        list.remove_prefix(std::min(comma + 1, list.size()));
    }
}

std::vector<std::string> merged(const std::vector<Switch>& given) {
    std::vector<std::string> result;
    std::vector<std::string> features;
    for (const Switch& s : given) {
        if (std::string_view(s.value).starts_with(kDisableFeatures))
            addFeatures(std::string_view(s.value).substr(kDisableFeatures.size()), features);
        else
            result.push_back(s.written);
    }
    result.insert(result.end(), std::begin(kUnthrottled), std::end(kUnthrottled));
    addFeatures(kUnthrottledFeature, features);
    std::string disable(kDisableFeatures);
    for (std::size_t i = 0; i < features.size(); ++i)
        disable += (i ? "," : "") + features[i];
    result.push_back(std::move(disable));
    return result;
}

} // namespace

std::vector<std::string> withUnthrottledTimers(const std::vector<std::string>& switches) {
    std::vector<Switch> given;
    for (const std::string& s : switches)
        given.push_back({s, s});
    return merged(given);
}

std::string withUnthrottledTimers(std::string_view flags) {
    std::string text;
    for (const std::string& s : merged(split(flags)))
        text += (text.empty() ? "" : " ") + s;
    return text;
}

} // namespace orvo
