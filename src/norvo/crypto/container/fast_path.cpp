// When an operation may take its fast path: the one test, and the classes it knows.
//
// A fast path works on the state of the objects it is given (the entries of an instance, the
// fields of a key record) and makes new instances of the library's classes without calling
// them. That is sound only while everything it stands in for would run the library's own code:
// each object is of the class it knows for its role, exactly (a subclass may change anything);
// the class still resolves every member as it did when the module loaded; the instance holds no
// entry of its own that would be found before a method the fast path skips; and the module
// globals whose work the fast paths do are those of load time.
#include "container.hpp"

#include <vector>

namespace norvo::container_module {

namespace {

enum class Role { payload, container, keys, id, record };

// Whether `obj.name` finds the class's method rather than an entry of the instance, looked up as
// the interpreter looks up a method it is about to call: no bound method is made.
bool finds_method(py::handle obj, py::handle name) {
    PyObject* found = nullptr;
    const int r = norvo::bind::get_method(obj.ptr(), name.ptr(), &found);
    if (!found) throw py::error_already_set();
    Py_DECREF(found);
    return r == 1;
}

// Besides the members a class defines, what the interpreter consults to read, write, make or
// test an instance.
const char* const HOOKS[] = {"__getattribute__", "__getattr__", "__setattr__", "__delattr__",
                             "__new__",          "__init__",    "__bool__",    "__len__"};

class Known {
public:
    // `skipped`: the methods a fast path skips, each with what the fast paths do in its place.
    Known(py::handle cls, Role role, const std::vector<std::pair<const char*, unsigned>>& skipped = {})
        : type_(reinterpret_cast<PyTypeObject*>(cls.ptr())), role_(role) {
        std::vector<py::object> names;
        for (const char* hook : HOOKS) names.push_back(py::str(hook));
        // Built-in bases cannot change.
        for (py::handle base : py::reinterpret_borrow<py::tuple>(type_->tp_mro)) {
            auto* t = reinterpret_cast<PyTypeObject*>(base.ptr());
            if (!(t->tp_flags & Py_TPFLAGS_HEAPTYPE)) continue;
            for (auto item : py::reinterpret_borrow<py::dict>(t->tp_dict))
                names.push_back(py::reinterpret_borrow<py::object>(item.first));
        }
        for (py::object& name : names) {
            py::object member = py::reinterpret_borrow<py::object>(_PyType_Lookup(type_, name.ptr()));
            members_.emplace_back(std::move(name), std::move(member));
        }
        for (const auto& [name, does] : skipped)
            skipped_.emplace_back(py::reinterpret_borrow<py::object>(norvo::bind::new_interned(name)), does);
    }

    PyTypeObject* type() const { return type_; }
    Role role() const { return role_; }

    // The class resolves every member as it did at load. Worked out again only when the class
    // has a new version tag, which the interpreter gives it after it or a base class changed.
    bool unchanged() {
        if (type_->tp_version_tag != 0 && type_->tp_version_tag == tag_) return unchanged_;
        bool same = true;
        for (const auto& [name, member] : members_)
            if (_PyType_Lookup(type_, name.ptr()) != member.ptr()) {
                same = false;
                break;
            }
        // The lookups gave the class a tag unless it can have none; then nothing is kept, and
        // the next call looks again.
        tag_ = type_->tp_version_tag;
        unchanged_ = same;
        return same;
    }

    // No entry of the instance stands before a method that a fast path doing `does` skips.
    bool shadows_nothing(py::handle obj, unsigned does) const {
        for (const auto& [name, done_for] : skipped_)
            if ((done_for & does) && !finds_method(obj, name)) return false;
        return true;
    }

private:
    PyTypeObject* type_;
    Role role_;
    std::vector<std::pair<py::object, py::object>> members_;
    std::vector<std::pair<py::object, unsigned>> skipped_;
    unsigned int tag_ = 0;
    bool unchanged_ = false;
};

// Never freed, as State.
std::vector<Known>* known = nullptr;

Known* known_of(py::handle type) {
    for (Known& k : *known)
        if (reinterpret_cast<PyObject*>(k.type()) == type.ptr()) return &k;
    return nullptr;
}

bool own_class(py::handle cls, Role role) {
    Known* k = known_of(cls);
    return k && k->role() == role && k->unchanged();
}

bool own(py::handle obj, Role role, unsigned does = 0) {
    Known* k = known_of(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())));
    if (!k || k->role() != role || !k->unchanged() || !k->shadows_nothing(obj, does)) return false;
    if (role != Role::keys) return true;
    // Keys come with their state: a record of the format library's class.
    py::object record = own_entry(obj, NORVO_NAME("container"));
    return record && own(record, Role::record);
}

// `ns[name] is expected`; a missing entry is not.
bool entry_is(py::handle ns, py::handle name, const py::object& expected) {
    PyObject* v = PyDict_GetItemWithError(ns.ptr(), name.ptr());
    if (!v && PyErr_Occurred()) throw py::error_already_set();
    return v == expected.ptr();
}

// The module globals whose work a fast path doing `what` does itself are those of load time,
// and so are the classes it makes instances of.
bool globals_as_loaded(unsigned what) {
    const py::handle ns = S->ns;
    if ((what & Does::draws_keys) && !(entry_is(ns, NORVO_NAME("crypto"), S->stock_crypto) &&
                                       entry_is(S->crypto_ns, NORVO_NAME("random"), S->stock_random)))
        return false;
    if ((what & Does::makes_records) && !(entry_is(ns, NORVO_NAME("ConstructContainer"), S->record_type) &&
                                          own_class(S->record_type, Role::record)))
        return false;
    if ((what & Does::makes_keys) &&
        !(entry_is(ns, NORVO_NAME("ContainerKeys"), S->keys_cls) && own_class(S->keys_cls, Role::keys)))
        return false;
    if ((what & Does::makes_portions) &&
        !(entry_is(ns, NORVO_NAME("Header"), S->header_cls) && own_class(S->header_cls, Role::payload) &&
          entry_is(ns, NORVO_NAME("UUID"), S->stock_UUID) && own_class(S->uuid_type, Role::id)))
        return false;
    if ((what & Does::reads_clock) &&
        !(entry_is(ns, NORVO_NAME("arrow"), S->stock_arrow) &&
          entry_is(S->arrow_ns, NORVO_NAME("utcnow"), S->stock_utcnow)))
        return false;
    return true;
}

}  // namespace

void know_classes() {
    known = new std::vector<Known>();
    // The container seals and opens portions itself, and reads a sealed portion's section from
    // its state where the general path reads its `data`, which the JSON payloads read through
    // `_get_data`.
    std::vector<std::pair<const char*, unsigned>> skipped = {{"encrypt", Does::seals},
                                                             {"set_encrypted_data", Does::seals},
                                                             {"decrypt", Does::opens},
                                                             {"set_plaintext_data", Does::opens}};
    known->emplace_back(S->raw_cls, Role::payload, skipped);
    skipped.emplace_back("_get_data", Does::seals | Does::opens);
    known->emplace_back(S->json_cls, Role::payload, skipped);
    known->emplace_back(S->header_cls, Role::payload, skipped);
    known->emplace_back(S->container_cls, Role::container);
    known->emplace_back(S->keys_cls, Role::keys);
    // Not the library's, but stood in for: an id's bytes are worked out from its integer, a new
    // id is made from it, and a key record's fields are read as the items they are.
    known->emplace_back(S->uuid_type, Role::id);
    known->emplace_back(S->record_type, Role::record);
}

bool fast_path(const Involved& in) {
    return (!in.container || own(in.container, Role::container)) &&
           (!in.header || own(in.header, Role::payload, in.does)) &&
           (!in.content || own(in.content, Role::payload, in.does)) && (!in.keys || own(in.keys, Role::keys)) &&
           (!in.id || own(in.id, Role::id)) && (!in.content_cls || own_class(in.content_cls, Role::payload)) &&
           globals_as_loaded(in.does);
}

}  // namespace norvo::container_module
