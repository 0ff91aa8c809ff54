// The firewall rules that bind the phone link to the MAC addresses of its
// clients; both board backends use them (the target runs them, the simulated
// board records them).
#pragma once

#include <string>
#include <vector>

// "iptables --flush", an ACCEPT rule per well-formed MAC, "iptables -P INPUT DROP".
// Text that is not "aa:bb:cc:dd:ee:ff" never reaches a command line.
std::vector<std::string> board_firewall_bind_rules(const std::vector<std::string>& macs);
// "iptables --flush", "iptables -P INPUT ACCEPT".
std::vector<std::string> board_firewall_unbind_rules();
