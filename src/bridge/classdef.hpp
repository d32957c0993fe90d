// Creates a Python class the way a class statement does: the most derived
// metaclass of the bases, its __prepare__ namespace filled in body order,
// then metaclass(name, bases, namespace).
#pragma once

#include "object.hpp"

#include <vector>

namespace bridge {

struct ClassEntry {
    const char* name;
    Owned value;
};

struct ClassDef {
    const char* name;
    const char* qualname;
    const char* doc;
    Borrowed module_name;  // str
    Borrowed bases;        // tuple
    std::vector<ClassEntry> body;  // bound in this order after __module__, __qualname__, __doc__
};

Owned build_class(const ClassDef& def);

}  // namespace bridge
