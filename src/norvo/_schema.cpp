// norvo._schema: the loading rules of marshmallow 2 on a current marshmallow.
//
// Our schemas were written for marshmallow 2, whose releases no longer import on current
// Pythons. This module keeps what they rely on: a `Schema` base (a real marshmallow.Schema,
// made by marshmallow's own metaclass) whose `load` returns the (data, errors) pair and never
// raises for bad field values, reads a field under its attribute name first and then under
// its `load_from` wire key, ignores unknown keys and calls the pre- and post-load hooks as
// (data, many); and field classes that convert values as marshmallow 2's did, with its
// messages. The hooks run as marshmallow 2 ran them: those registered with pass_many first,
// a hook that returns None keeps the data it was given, and the post-load hooks run only when
// the whole load had no error. Schema-level and field-name validators are not supported.
#include "callable.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "imports.hpp"
#include "interpreter.hpp"
#include "module.hpp"

#include <memory>
#include <vector>

using norvo::bind::getattr_or_none;
using norvo::bind::truthy;

namespace {

constexpr const char* INVALID_INPUT = "Invalid input type.";
constexpr const char* SCHEMA_KEY = "_schema";

// What the loading code needs of the libraries, looked up once when the module loads.
struct Libraries {
    py::object missing;           // marshmallow.missing: a key that is not there
    py::object validation_error;  // marshmallow.exceptions.ValidationError
    py::object mapping;           // collections.abc.Mapping
    py::object iterable;          // collections.abc.Iterable
    py::object is_generator;      // inspect.isgenerator
    py::object is_generator_function;
    py::object set_value;         // marshmallow.utils.set_value, for dotted attribute names
    py::object uuid;              // uuid.UUID
    py::object iso_datetime;      // the date-time text form marshmallow 2 let through to dateutil
    py::object parse_datetime;    // dateutil.parser.parse
    py::object result;            // UnmarshalResult
};

bool is_instance(py::handle obj, py::handle cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

bool contains(py::handle container, py::handle value) {
    int r = PySequence_Contains(container.ptr(), value.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// marshmallow 2's test for a collection of objects: iterable, but neither text (nothing with
// a `strip`) nor a mapping. A generator function counts, and fails when it is iterated.
bool is_collection(const Libraries& lib, py::handle obj) {
    bool iterable = (is_instance(obj, lib.iterable) && !py::hasattr(obj, "strip")) ||
                    truthy(lib.is_generator_function(obj)) || truthy(lib.is_generator(obj));
    return iterable && !is_instance(obj, lib.mapping);
}

// Raises the field's error for `key` with the field's own message for it.
[[noreturn]] void fail(py::handle field, const char* key) {
    py::object err = field.attr("make_error")(key);
    norvo::bind::raise(py::type::of(err), err);
}

// Runs `convert`; the errors listed turn into the field's error `key`, any other passes.
template <class F>
py::object converting(py::handle field, const char* key, std::initializer_list<PyObject*> caught, F&& convert) {
    try {
        return std::forward<F>(convert)();
    } catch (py::error_already_set& e) {
        for (PyObject* type : caught)
            if (e.matches(type)) fail(field, key);
        throw;
    }
}

// `value` when the mapping has `key`, else marshmallow.missing, as mapping.get(key, missing).
py::object get_or_missing(const Libraries& lib, py::handle mapping, py::handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* v = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (v) return py::reinterpret_borrow<py::object>(v);
        if (PyErr_Occurred()) throw py::error_already_set();
        return lib.missing;
    }
    return mapping.attr("get")(key, lib.missing);
}

// One field as a load reads it, looked up once for the whole load.
struct FieldPlan {
    py::object name;       // the field's name, which is also the attribute name of the input
    py::object field;
    py::object load_from;  // the wire key read when the attribute name is not there, or None
    py::object load_default;
    py::object attribute;  // the key of the loaded values, when not the name
    py::object deserialize;
    bool required;
    bool dump_only;
    py::object target;     // the key of the loaded values
    bool dotted = false;   // a target with dots names a path into nested mappings
};

// marshmallow 2's Unmarshaller: the loaded values and the errors of one load.
class Unmarshal {
public:
    Unmarshal(const Libraries& lib, py::handle fields, py::object partial, bool index_errors)
        : lib_(lib), partial_(std::move(partial)), index_errors_(index_errors) {
        partial_all_ = partial_.ptr() == Py_True;
        partial_names_ = !partial_all_ && is_collection(lib, partial_);
        for (auto item : py::reinterpret_borrow<py::dict>(fields)) {
            py::object field = py::reinterpret_borrow<py::object>(item.second);
            FieldPlan p{py::reinterpret_borrow<py::object>(item.first),
                        field,
                        getattr_or_none(field, "load_from"),
                        field.attr("load_default"),
                        field.attr("attribute"),
                        field.attr("deserialize"),
                        truthy(field.attr("required")),
                        truthy(field.attr("dump_only"))};
            // Decided once per load, not once per object: the event feed loads thousands.
            p.target = p.attribute.is_none() ? p.name : p.attribute;
            p.dotted = PyUnicode_Check(p.target.ptr()) && contains(p.target, NORVO_NAME("."));
            plan_.push_back(std::move(p));
        }
    }

    py::dict errors;

    py::object load(py::handle data, bool many, py::handle index) {
        if (many && !data.is_none()) {
            if (!is_collection(lib_, data)) {
                py::list messages;
                messages.append(INVALID_INPUT);
                errors_at(index)[SCHEMA_KEY] = messages;
                return py::list();
            }
            py::list loaded;
            Py_ssize_t i = 0;
            for (py::handle item : py::iter(data)) loaded.append(load(item, false, py::int_(i++)));
            return std::move(loaded);
        }
        if (!is_instance(data, lib_.mapping)) {
            errors_at(index);  // an object's entry exists, empty, beside the load's own error
            errors.attr("setdefault")(SCHEMA_KEY, py::list()).attr("append")(INVALID_INPUT);
            return py::none();
        }
        py::dict loaded;
        for (const FieldPlan& f : plan_) {
            if (f.dump_only) continue;
            py::object key = f.name;
            py::object raw = get_or_missing(lib_, data, f.name);
            bool has_wire_key = truthy(f.load_from);
            if (raw.is(lib_.missing) && has_wire_key) {
                key = f.load_from;
                raw = get_or_missing(lib_, data, f.load_from);
            }
            if (raw.is(lib_.missing)) {
                if (partial_all_ || (partial_names_ && contains(partial_, f.name))) continue;
                raw = PyCallable_Check(f.load_default.ptr()) ? f.load_default() : f.load_default;
            }
            if (raw.is(lib_.missing) && !f.required) continue;
            py::object value;
            try {
                value = f.deserialize(raw, has_wire_key ? f.load_from : f.name, data);
            } catch (py::error_already_set& e) {
                if (!e.matches(lib_.validation_error)) throw;
                store(e.value().attr("messages"), key, index_errors_ ? index : py::handle(Py_None));
                continue;
            }
            if (f.dotted)
                lib_.set_value(loaded, f.target, value);
            else
                loaded[f.target] = value;
        }
        return std::move(loaded);
    }

private:
    // The error mapping of object `index` (made when first needed), or the load's own.
    py::dict errors_at(py::handle index) {
        if (index.is_none()) return errors;
        PyObject* found = PyDict_GetItemWithError(errors.ptr(), index.ptr());
        if (!found && PyErr_Occurred()) throw py::error_already_set();
        py::dict entry = found ? py::reinterpret_borrow<py::dict>(found) : py::dict();
        errors[index] = entry;
        return entry;
    }

    void store(py::handle messages, py::handle key, py::handle index) {
        py::dict entry = errors_at(index);
        if (PyDict_Check(messages.ptr())) {
            entry[key] = messages;
            return;
        }
        PyObject* earlier = PyDict_GetItemWithError(entry.ptr(), key.ptr());
        if (!earlier && PyErr_Occurred()) throw py::error_already_set();
        if (earlier && PyDict_Check(earlier))
            py::reinterpret_borrow<py::object>(earlier).attr("setdefault")("_field", py::list()).attr("extend")(messages);
        else
            entry.attr("setdefault")(key, py::list()).attr("extend")(messages);
    }

    const Libraries& lib_;
    py::object partial_;
    bool index_errors_;
    bool partial_all_ = false;
    bool partial_names_ = false;
    std::vector<FieldPlan> plan_;
};

// Runs the schema's hooks of `tag` that take the whole collection (`pass_many`) or each
// object; a hook that returns None leaves the data as it was.
py::object run_hooks(py::handle schema, const char* tag, bool pass_many, py::object data, bool many,
                     py::handle original) {
    py::object hooks = schema.attr("_hooks").attr("get")(tag, py::tuple());
    py::object many_flag = py::bool_(many);
    for (py::handle hook : hooks) {
        py::tuple entry = py::reinterpret_borrow<py::tuple>(hook);
        if (truthy(entry[1]) != pass_many) continue;
        py::object processor = schema.attr(entry[0]);
        bool pass_original = truthy(entry[2].attr("get")("pass_original", false));
        auto call = [&](py::handle value) -> py::object {
            py::object out = pass_many ? (pass_original ? processor(value, many_flag, original) : processor(value, many_flag))
                                       : (pass_original ? processor(value, original) : processor(value));
            return out.is_none() ? py::reinterpret_borrow<py::object>(value) : out;
        };
        if (pass_many || !many) {
            data = call(data);
        } else {
            py::list each;
            for (py::handle item : py::iter(data)) each.append(call(item));
            data = std::move(each);
        }
    }
    return data;
}

py::object run_load_hooks(py::handle schema, const char* tag, py::object data, bool many, py::handle original) {
    data = run_hooks(schema, tag, true, std::move(data), many, original);
    return run_hooks(schema, tag, false, std::move(data), many, original);
}

// marshmallow 2's Schema._do_load: the loaded data and the errors, the post-load hooks run
// when `postprocess` is set and nothing failed.
std::pair<py::object, py::object> do_load(const Libraries& lib, py::handle schema, py::object data, py::handle many_arg,
                                          py::handle partial_arg, bool postprocess) {
    for (const char* tag : {"validates", "validates_schema"})
        if (truthy(schema.attr("_hooks").attr("get")(tag, py::tuple())))
            norvo::bind::raise(PyExc_NotImplementedError, std::string("norvo._schema does not run @") + tag + " hooks");
    bool many = many_arg.is_none() ? truthy(schema.attr("many")) : truthy(many_arg);
    py::object partial = py::reinterpret_borrow<py::object>(partial_arg.is_none() ? schema.attr("partial") : partial_arg);
    py::object result = py::none();
    py::object errors = py::dict();
    py::object processed = py::none();
    try {
        processed = run_load_hooks(schema, "pre_load", data, many, data);
    } catch (py::error_already_set& e) {
        if (!e.matches(lib.validation_error)) throw;
        errors = e.value().attr("normalized_messages")();
    }
    if (!truthy(errors)) {
        Unmarshal unmarshal(lib, schema.attr("load_fields"), partial, truthy(schema.attr("opts").attr("index_errors")));
        result = unmarshal.load(processed, many, py::none());
        errors = unmarshal.errors;
    }
    if (!truthy(errors) && postprocess) {
        try {
            result = run_load_hooks(schema, "post_load", result, many, data);
        } catch (py::error_already_set& e) {
            if (!e.matches(lib.validation_error)) throw;
            errors = e.value().attr("normalized_messages")();
        }
    }
    return {result, errors};
}

// ---- Field conversions, as marshmallow 2's fields made them

py::object to_string(const Libraries&, py::handle field, py::handle value) {
    if (PyUnicode_Check(value.ptr())) return norvo::bind::steal(PyObject_Str(value.ptr()));
    if (!PyBytes_Check(value.ptr())) fail(field, "invalid");
    return converting(field, "invalid_utf8", {PyExc_UnicodeDecodeError},
                      [&] { return norvo::bind::steal(PyObject_Str(value.attr("decode")("utf-8").ptr())); });
}

py::object to_integer(const Libraries&, py::handle field, py::handle value) {
    try {
        return norvo::bind::steal(PyNumber_Long(value.ptr()));
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_OverflowError)) fail(field, "too_large");
        if (e.matches(PyExc_TypeError) || e.matches(PyExc_ValueError)) fail(field, "invalid");
        throw;
    }
}

py::object to_boolean(const Libraries&, py::handle field, py::handle value) {
    py::object yes = field.attr("truthy"), no = field.attr("falsy");
    if (!truthy(yes)) return py::bool_(truthy(value));
    try {
        if (contains(yes, value)) return py::bool_(true);
        if (contains(no, value)) return py::bool_(false);
    } catch (py::error_already_set& e) {  // an unhashable value is in neither set
        if (!e.matches(PyExc_TypeError)) throw;
    }
    fail(field, "invalid");
}

py::object to_datetime(const Libraries& lib, py::handle field, py::handle value) {
    py::object format = getattr_or_none(field, "format");
    if (!format.is_none() && !norvo::bind::compares(format, py::str("iso")) &&
        !norvo::bind::compares(format, py::str("iso8601")))
        norvo::bind::raise(PyExc_ValueError, "norvo._schema.DateTime reads ISO 8601 text only");
    if (!truthy(value)) fail(field, "invalid");
    return converting(field, "invalid", {PyExc_TypeError, PyExc_AttributeError, PyExc_ValueError}, [&] {
        if (lib.iso_datetime.attr("match")(value).is_none()) norvo::bind::raise(PyExc_ValueError);
        return lib.parse_datetime(value);
    });
}

py::object to_uuid(const Libraries& lib, py::handle field, py::handle value) {
    if (value.is_none()) return py::none();
    if (is_instance(value, lib.uuid)) return py::reinterpret_borrow<py::object>(value);
    // Other errors (TypeError for bytes) pass, as they did.
    return converting(field, "invalid_uuid", {PyExc_ValueError, PyExc_AttributeError}, [&] { return lib.uuid(value); });
}

py::object to_mapping(const Libraries& lib, py::handle field, py::handle value) {
    if (!is_instance(value, lib.mapping)) fail(field, "invalid");
    return py::reinterpret_borrow<py::object>(value);
}

py::object as_is(const Libraries&, py::handle, py::handle value) { return py::reinterpret_borrow<py::object>(value); }

using Conversion = py::object (*)(const Libraries&, py::handle, py::handle);

py::dict messages(std::initializer_list<std::pair<const char*, const char*>> entries) {
    py::dict d;
    for (const auto& [key, text] : entries) d[key] = text;
    return d;
}

// The hook decorators `pre_load` and `post_load`, with marshmallow 2's names for their
// options: (tag, marshmallow's set_hook, functools.partial) is the state of each.
py::object hook_decorator(const norvo::bind::Call& c) {
    py::handle fn = c.args[0], pass_many = c.args[1], pass_original = c.args[2];
    py::handle tag = PyTuple_GET_ITEM(c.state.ptr(), 0);
    py::handle set_hook = PyTuple_GET_ITEM(c.state.ptr(), 1);
    py::handle partial = PyTuple_GET_ITEM(c.state.ptr(), 2);
    if (fn.is_none())
        return partial(c.callable, py::arg("pass_many") = pass_many, py::arg("pass_original") = pass_original);
    py::dict options;
    if (truthy(pass_original)) options["pass_original"] = true;
    return set_hook(fn, tag, py::arg("many") = truthy(pass_many), **options);
}

constexpr const char* FIELD_INIT_DOC =
    "Takes the keyword arguments of the marshmallow field, and `load_from`: the key read when\n"
    "the input has no key of the field's own name.";

}  // namespace

NORVO_MODULE(_schema, m,
             .doc = "marshmallow 2's loading rules on a current marshmallow: the Schema base and field classes of our loaders.",
             .signatures = false) {
    using norvo::bind::import;
    py::object marshmallow = import("marshmallow");
    py::object mfields = import("marshmallow.fields");
    auto lib = std::make_shared<Libraries>();
    lib->missing = marshmallow.attr("missing");
    lib->validation_error = import("marshmallow.exceptions").attr("ValidationError");
    py::object abc = import("collections.abc");
    lib->mapping = abc.attr("Mapping");
    lib->iterable = abc.attr("Iterable");
    py::object inspect = import("inspect");
    lib->is_generator = inspect.attr("isgenerator");
    lib->is_generator_function = inspect.attr("isgeneratorfunction");
    lib->set_value = import("marshmallow.utils").attr("set_value");
    lib->uuid = import("uuid").attr("UUID");
    // The shape marshmallow 2 required before it handed a date-time to dateutil, which then
    // decides the rest (the time zone objects included).
    lib->iso_datetime = import("re").attr("compile")(
        R"((?P<year>\d{4})-(?P<month>\d{1,2})-(?P<day>\d{1,2}))"
        R"([T ](?P<hour>\d{1,2}):(?P<minute>\d{1,2}))"
        R"((?::(?P<second>\d{1,2})(?:\.(?P<microsecond>\d{1,6})\d{0,6})?)?)"
        R"((?P<tzinfo>Z|[+-]\d{2}(?::?\d{2})?)?$)");
    lib->parse_datetime = import("dateutil.parser").attr("parse");
    lib->result = import("collections").attr("namedtuple")(
        "UnmarshalResult", py::make_tuple("data", "errors"), py::arg("module") = m.attr("__name__"));
    m.attr("UnmarshalResult") = lib->result;

    // ---- Fields: the marshmallow field classes with marshmallow 2's conversions and messages.
    const py::dict base_messages = messages({{"required", "Missing data for required field."},
                                             {"type", "Invalid type."},
                                             {"null", "Field may not be null."},
                                             {"validator_failed", "Invalid value."}});
    auto field_class = [&](const char* name, const char* base_name, const char* doc, py::dict own_messages,
                           Conversion convert) {
        py::object base = mfields.attr(base_name);
        py::dict ns = norvo::bind::class_namespace(m, name, doc);
        py::dict all = base_messages.attr("copy")();
        all.attr("update")(own_messages);
        ns["default_error_messages"] = all;
        py::object cls = norvo::bind::make_class(name, py::make_tuple(base), ns, py::type::of(base));

        norvo::bind::add_method(
            cls, "__init__",
            [base](py::object self, py::kwargs kwargs) {
                py::dict rest = norvo::bind::steal(PyDict_Copy(kwargs.ptr()));
                py::object load_from = py::none();
                if (rest.contains("load_from")) load_from = rest.attr("pop")("load_from");
                base.attr("__init__")(self, **rest);
                py::setattr(self, "load_from", load_from);
            },
            FIELD_INIT_DOC);

        // marshmallow 2's Field.deserialize: the checks for absent and null values, then the
        // conversion, then any validators.
        norvo::bind::add_method(
            cls, "deserialize",
            [lib](py::object self, py::object value, py::object attr, py::object data, py::kwargs) -> py::object {
                if (value.is(lib->missing) && truthy(self.attr("required"))) fail(self, "required");
                bool allow_none = self.attr("allow_none").ptr() == Py_True;
                if (value.is_none()) {
                    if (!allow_none) fail(self, "null");
                    return py::none();
                }
                py::object output = self.attr("_deserialize")(value, attr, data);
                if (truthy(self.attr("validators"))) self.attr("_validate")(output);
                return output;
            },
            py::arg("value"), py::arg("attr") = py::none(), py::arg("data") = py::none(),
            "Checks and converts one input value; a bad one raises ValidationError.");

        norvo::bind::add_method(
            cls, "_deserialize",
            [lib, convert](py::object self, py::object value, py::object, py::object, py::kwargs) {
                return convert(*lib, self, value);
            },
            py::arg("value"), py::arg("attr") = py::none(), py::arg("data") = py::none());
        m.attr(name) = cls;
        return cls;
    };

    field_class("Raw", "Raw", "Any value, passed on unchanged.", py::dict(), as_is);
    m.attr("Str") = field_class(
        "String", "String", "Text; bytes are decoded as UTF-8.",
        messages({{"invalid", "Not a valid string."}, {"invalid_utf8", "Not a valid utf-8 string."}}), to_string);
    m.attr("Int") = field_class("Integer", "Integer", "An integer, as int() makes one of the value.",
                                messages({{"invalid", "Not a valid integer."}, {"too_large", "Number too large."}}),
                                to_integer);
    py::object boolean = field_class("Boolean", "Boolean", "A boolean from the values of `truthy` and `falsy`.",
                                     messages({{"invalid", "Not a valid boolean."}}), to_boolean);
    boolean.attr("truthy") = py::set(py::make_tuple("t", "T", "true", "True", "TRUE", "1", 1, true));
    boolean.attr("falsy") = py::set(py::make_tuple("f", "F", "false", "False", "FALSE", "0", 0, 0.0, false));
    m.attr("Bool") = boolean;
    field_class("DateTime", "DateTime",
                "An ISO 8601 date-time text, parsed by dateutil: naive without a zone, zone-aware with one.",
                messages({{"invalid", "Not a valid datetime."}, {"format", "\"{input}\" cannot be formatted as a datetime."}}),
                to_datetime);
    field_class("UUID", "UUID", "A UUID from any text form that uuid.UUID reads.",
                messages({{"invalid_uuid", "Not a valid UUID."}, {"invalid_guid", "Not a valid UUID."}}), to_uuid);
    field_class("Dict", "Dict", "A mapping, kept as the same object.", messages({{"invalid", "Not a valid mapping type."}}),
                to_mapping);

    // ---- Hook decorators with marshmallow 2's names for their options.
    for (const char* name : {"pre_load", "post_load"}) {
        norvo::bind::CallableSpec spec;
        spec.name = spec.qualname = name;
        spec.module = "norvo._schema";
        spec.doc = "Registers a method as a load hook; with pass_many it gets the whole collection and the many flag.";
        spec.params = {{"fn", py::none()}, {"pass_many", py::bool_(false)}, {"pass_original", py::bool_(false)}};
        spec.has_self = false;
        spec.body = hook_decorator;
        spec.state = py::make_tuple(name, import("marshmallow.decorators").attr("set_hook"),
                                    import("functools").attr("partial"));
        m.attr(name) = norvo::bind::make_callable(std::move(spec));
    }

    // ---- Schema
    py::object base = marshmallow.attr("Schema");
    py::dict ns = norvo::bind::class_namespace(
        m, "Schema",
        "A marshmallow Schema whose load follows marshmallow 2: it returns (data, errors) and reports\n"
        "bad values in the errors instead of raising them.");
    py::object schema = norvo::bind::make_class("Schema", py::make_tuple(base), ns, py::type::of(base));
    norvo::bind::add_method(
        schema, "load",
        [lib](py::object self, py::object data, py::object many, py::object partial) {
            auto [result, errors] = do_load(*lib, self, std::move(data), many, partial, true);
            return lib->result(result, errors);
        },
        py::arg("data"), py::arg("many") = py::none(), py::arg("partial") = py::none(),
        "Loads `data` (a collection of objects when `many`): UnmarshalResult(data, errors).");
    norvo::bind::add_method(
        schema, "validate",
        [lib](py::object self, py::object data, py::object many, py::object partial) {
            return do_load(*lib, self, std::move(data), many, partial, false).second;
        },
        py::arg("data"), py::arg("many") = py::none(), py::arg("partial") = py::none(),
        "The errors that loading `data` would report; the post-load hooks do not run.");
    m.attr("Schema") = schema;
}
