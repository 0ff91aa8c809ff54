#include "board/firewall_rules.h"

#include <cctype>

namespace {

bool mac_text_valid(const std::string& mac) {
    if (mac.size() != 17) return false;
    for (size_t i = 0; i < mac.size(); ++i) {
        const bool colon = i % 3 == 2;
        if (colon ? mac[i] != ':' : !isxdigit(static_cast<unsigned char>(mac[i]))) return false;
    }
    return true;
}

}  // namespace

std::vector<std::string> board_firewall_bind_rules(const std::vector<std::string>& macs) {
    std::vector<std::string> lines{"iptables --flush"};
    for (const std::string& mac : macs) {
        if (mac_text_valid(mac))
            lines.push_back("iptables -A INPUT -m mac --mac-source " + mac + " -j ACCEPT");
    }
    lines.emplace_back("iptables -P INPUT DROP");
    return lines;
}

std::vector<std::string> board_firewall_unbind_rules() {
    return {"iptables --flush", "iptables -P INPUT ACCEPT"};
}
