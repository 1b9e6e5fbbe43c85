#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqString.h"
#include "VqToolCommand.h"

#include <iomanip>
#include <iostream>

namespace {
int listTypes(std::ostream& os) {
    int n = VqFactory::numTypes();
    for (int i = 0; i < n; ++i) {
        VqType* t = nullptr;
        if (!VqFactory::getType(i, t)) return vqToolFail(Vq::lastErrorMessage());
        if (!t) continue;
        VqString guid;
        if (!t->guid.toString(guid)) return vqToolFail(Vq::lastErrorMessage());
        os << guid << "  " << std::left << std::setw(32) << t->name << (t->create ? "" : " (abstract)")
           << "\n";
    }
    os << n << " types registered\n";
    return 0;
}
} // namespace

int cmdTypes(const std::vector<std::string>& args) {
    if (!args.empty()) return vqToolFail("types takes no arguments (see 'vqtool types --help')");
    return listTypes(std::cout);
}
