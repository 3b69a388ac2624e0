// tovu-contract-module FILE: writes the console's constants, from the contract, as an ES module.
#include "TovuProtocol/Contract.hpp"
#include "TovuProtocol/Json.hpp"

#include <fstream>
#include <iostream>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: tovu-contract-module FILE\n";
        return 2;
    }
    std::ofstream out(argv[1], std::ios::trunc);
    out << "// Made at build time from Sources/TovuProtocol/Contract.cpp; do not edit.\n"
        << "export const CONTRACT = Object.freeze("
        << tovu::Json::encode(tovu::Contract::describe()) << ");\n";
    return out.good() ? 0 : 1;
}
