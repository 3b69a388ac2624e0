#include "Plist.hpp"

namespace tovu {

namespace {

std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string element(const std::string& indent, const std::string& text) {
    return indent + "<string>" + escaped(text) + "</string>\n";
}

struct ValueWriter {
    std::string& out;
    void operator()(const std::string& text) const { out += element("\t", text); }
    void operator()(bool flag) const { out += flag ? "\t<true/>\n" : "\t<false/>\n"; }
    void operator()(const std::vector<std::string>& list) const {
        out += "\t<array>\n";
        for (const auto& text : list)
            out += element("\t\t", text);
        out += "\t</array>\n";
    }
};

} // namespace

std::string plistXml(const Plist& dictionary) {
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                      "<plist version=\"1.0\">\n<dict>\n";
    for (const auto& [key, value] : dictionary) {
        out += "\t<key>" + escaped(key) + "</key>\n";
        std::visit(ValueWriter{out}, value);
    }
    out += "</dict>\n</plist>\n";
    return out;
}

} // namespace tovu
