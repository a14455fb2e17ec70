#include <ostream>

#include "kit/Verbs.h"

int RunCheck(const Args&, std::ostream&, std::ostream& err) {
    err << "disckit: 'check' is not built yet\n";
    return kExitUsage;
}
