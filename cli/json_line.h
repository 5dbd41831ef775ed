// One JSON object on one line, built field by field: what --json prints for every event and outcome.
// Strings are escaped so that any byte a camera sends (a name is raw bytes) still gives valid JSON: bytes
// 0x80..0xFF are written as the code points U+0080..U+00FF.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace cli {

class JsonLine {
  public:
    explicit JsonLine(const char* event) { Add("event", event); }

    JsonLine& Add(const char* key, const std::string& value) {
        Key(key);
        m_text += '"';
        for (const char c : value) {
            const auto byte = static_cast<uint8_t>(c);
            if (c == '"' || c == '\\') {
                m_text += '\\';
                m_text += c;
            } else if (c == '\n') {
                m_text += "\\n";
            } else if (byte < 0x20 || byte >= 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                m_text += escaped;
            } else {
                m_text += c;
            }
        }
        m_text += '"';
        return *this;
    }
    JsonLine& Add(const char* key, const char* value) { return Add(key, std::string(value)); }
    JsonLine& Add(const char* key, int64_t value) {
        Key(key);
        m_text += std::to_string(value);
        return *this;
    }
    JsonLine& Add(const char* key, int value) { return Add(key, static_cast<int64_t>(value)); }
    JsonLine& Add(const char* key, uint32_t value) { return Add(key, static_cast<int64_t>(value)); }
    JsonLine& AddBool(const char* key, bool value) {
        Key(key);
        m_text += value ? "true" : "false";
        return *this;
    }
    // The finished line, newline included.
    std::string Text() const { return m_text + "}\n"; }

  private:
    void Key(const char* key) {
        m_text += m_text.size() > 1 ? ",\"" : "\"";
        m_text += key;
        m_text += "\":";
    }

    std::string m_text = "{";
};

}  // namespace cli
