// Forks and the per-user databases. SQLite connections must never cross a fork: a child that
// used, rolled back or closed one it inherited would act on the parent's transaction (SQLite
// deletes the journal of a transaction it rolls back, under the parent that is still writing
// it), and a child inherits SQLite's record of which locks the process holds, so a lock that
// another thread of the parent held at the fork stays held in the child for good.
//
// So around a fork:
// - before it, the parent holds back new work on the databases (a checkout, a connection
//   made or closed, a statement that would begin a transaction) in its other threads, and
//   waits, for a bounded time, until none of them is inside a call on a connection or holds
//   one in a transaction: the child then inherits connections that are quiet and hold no lock;
// - in the child, every connection the pools had opened is taken from them and kept, never
//   used or closed, for as long as the child lives; a checked-out proxy of one points at a
//   closed connection from then on, so a session that was in use at the fork fails plainly.
//   Every open database's engine then gets a new pool (`dispose(close=False)`, which leaves the
//   old one alone) and its session registry forgets the forking thread's session, so that the
//   child's work opens connections of its own;
// - a connection goes back to its pool rolled back, as the pool itself would, except one that
//   the process did not open: a child drops the sessions of the parent's other threads before
//   any hook can run, and the pool must not roll their transactions back then.
//
// Everything here is read and written with the interpreter lock held, so the hooks' view of
// the connections is whole; a wait gives the lock up while it sleeps.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "errors.hpp"
#include "forks.hpp"
#include "gil.hpp"
#include "imports.hpp"

namespace norvo::database_forks {

namespace {

// How long a fork waits for the other threads' work on the databases to end: as long as SQLite
// itself waits for a lock that another connection holds.
constexpr std::chrono::milliseconds FORK_WAIT{5000};
// How long a thread held back waits for the fork at most: hooks that were never paired (a
// before without an after) must not stop the process's work for good.
constexpr std::chrono::milliseconds HOLD_WAIT{2 * FORK_WAIT};
constexpr long POLL_NANOSECONDS = 200'000;

using Clock = std::chrono::steady_clock;

struct Connection {
    py::weakref record;     // the pool's record of one DB-API connection
    long pid;               // the process that opened it
    unsigned long holder;   // the thread that has it checked out, or 0
};

struct State {
    std::vector<Connection> connections;
    std::vector<py::weakref> databases;
    std::vector<unsigned long> busy;  // threads inside a call on a connection
    std::vector<py::object> inherited;  // the parent's connections, kept from closing
    bool forking = false;
    unsigned long forker = 0;
    py::object closed;  // a closed sqlite3 connection
    py::object log;
    py::object listeners;  // (event name, function) pairs
};

// Never freed: a hook may run while the interpreter finalises.
State* S = nullptr;

unsigned long this_thread() { return PyThread_get_thread_ident(); }

void nap() {
    norvo::bind::without_gil([] {
        timespec pause{0, POLL_NANOSECONDS};
        ::nanosleep(&pause, nullptr);
    });
}

Connection* find(py::handle record) {
    for (Connection& c : S->connections)
        if (c.record().ptr() == record.ptr()) return &c;
    return nullptr;
}

bool in_transaction(py::handle dbapi_connection) {
    PyObject* value = PyObject_GetAttrString(dbapi_connection.ptr(), "in_transaction");
    if (!value) {  // closed: in no transaction
        PyErr_Clear();
        return false;
    }
    const bool yes = value == Py_True;
    Py_DECREF(value);
    return yes;
}

void set_busy(bool busy) {
    const unsigned long me = this_thread();
    auto at = std::find(S->busy.begin(), S->busy.end(), me);
    if (busy && at == S->busy.end()) S->busy.push_back(me);
    if (!busy && at != S->busy.end()) S->busy.erase(at);
}

// Holds the calling thread back while another thread is forking.
void hold_back() {
    if (!S->forking || S->forker == this_thread()) return;
    const auto until = Clock::now() + HOLD_WAIT;
    while (S->forking && Clock::now() < until) {
        nap();
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
}

// Whether no other thread is inside a call on a connection of this process or holds one in a
// transaction.
bool quiet() {
    const unsigned long me = this_thread();
    for (unsigned long t : S->busy)
        if (t != me) return false;
    const long pid = ::getpid();
    for (Connection& c : S->connections) {
        if (c.pid != pid || c.holder == 0 || c.holder == me) continue;
        py::object record = c.record();
        if (record.is_none()) continue;
        py::object dbapi_connection = record.attr("dbapi_connection");
        if (!dbapi_connection.is_none() && in_transaction(dbapi_connection)) return false;
    }
    return true;
}

void before_fork() {
    S->forking = true;
    S->forker = this_thread();
    const auto until = Clock::now() + FORK_WAIT;
    while (!quiet() && Clock::now() < until) nap();
}

void after_fork_in_parent() {
    S->forking = false;
    S->forker = 0;
}

// Takes one of the parent's connections from its record (and from the proxy that has it
// checked out) and keeps it; returns whether it was in a transaction.
bool take_inherited(py::handle record) {
    py::object dbapi_connection = record.attr("dbapi_connection");
    if (dbapi_connection.is_none()) return false;
    record.attr("dbapi_connection") = py::none();
    py::object fairy_ref = record.attr("fairy_ref");
    if (!fairy_ref.is_none()) {
        py::object fairy = fairy_ref();
        if (!fairy.is_none()) fairy.attr("dbapi_connection") = S->closed;
    }
    S->inherited.push_back(dbapi_connection);
    return in_transaction(dbapi_connection);
}

void after_fork_in_child() {
    S->forking = false;
    S->forker = 0;
    S->busy.clear();
    int in_transactions = 0;
    for (Connection& c : S->connections) {
        try {
            py::object record = c.record();
            if (!record.is_none() && take_inherited(record)) ++in_transactions;
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("taking an inherited database connection out of its pool");
        }
    }
    S->connections.clear();
    for (const py::weakref& ref : S->databases) {
        try {
            py::object db = ref();
            if (db.is_none()) continue;
            py::object engine = norvo::bind::getattr_or_none(db, "engine");
            if (!engine.is_none()) engine.attr("dispose")(py::arg("close") = false);
            py::object session = norvo::bind::getattr_or_none(db, "session");
            if (!session.is_none()) session.attr("registry").attr("clear")();
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("giving a database new connections after a fork");
        }
    }
    if (in_transactions)
        S->log.attr("warning")(
            "This process was forked while %d connection(s) of the parent to an OFS DB were in a transaction: "
            "they are left to the parent, and this process may find that database locked.",
            in_transactions);
}

// ---- the listeners, the same functions on every engine

void on_connect(py::handle /*dbapi_connection*/, py::handle record) {
    const long pid = ::getpid();
    if (Connection* c = find(record)) {
        c->pid = pid;
        c->holder = 0;
        return;
    }
    std::erase_if(S->connections, [](Connection& c) { return c.record().is_none(); });
    S->connections.push_back({py::weakref(record), pid, 0});
}

void on_checkout(py::handle record) {
    hold_back();
    if (Connection* c = find(record)) c->holder = this_thread();
}

void on_checkin(py::handle record) {
    Connection* c = find(record);
    if (!c) return;
    // A proxy that the collector returns may be another thread's: that thread's calls are its own.
    if (c->holder == this_thread()) set_busy(false);
    c->holder = 0;
}

void on_reset(py::handle dbapi_connection, py::handle record, py::handle state) {
    if (dbapi_connection.is_none() || dbapi_connection.is(S->closed)) return;
    if (Connection* c = find(record); c && c->pid != ::getpid()) return;  // the parent's
    if (!norvo::bind::truthy(state.attr("asyncio_safe")) || norvo::bind::truthy(state.attr("transaction_was_reset")))
        return;
    dbapi_connection.attr("rollback")();
}

void on_statement(py::handle cursor) {
    if (S->forking && S->forker != this_thread() && !in_transaction(cursor.attr("connection"))) hold_back();
    set_busy(true);
}

py::object listeners() {
    auto fn = [](auto body, const char* name) { return py::cpp_function(body, py::name(name)); };
    py::list out;
    auto add = [&](const char* event, py::object f) { out.append(py::make_tuple(event, f)); };
    add("do_connect", fn([](py::args) -> py::object { hold_back(); return py::none(); }, "hold_back_connect"));
    add("connect", fn([](py::args a) { on_connect(a[0], a[1]); }, "remember_connection"));
    add("checkout", fn([](py::args a) { on_checkout(a[1]); }, "hold_back_checkout"));
    add("checkin", fn([](py::args a) { on_checkin(a[1]); }, "note_checkin"));
    add("close", fn([](py::args) { hold_back(); }, "hold_back_close"));
    add("reset", fn([](py::args a) { on_reset(a[0], a[1], a[2]); }, "reset_own_connection"));
    add("before_cursor_execute", fn([](py::args a) { on_statement(a[1]); }, "note_statement"));
    add("after_cursor_execute", fn([](py::args) { set_busy(false); }, "note_statement_done"));
    add("handle_error", fn([](py::args) { set_busy(false); }, "note_statement_failed"));
    add("commit", fn([](py::args) { set_busy(true); }, "note_commit"));
    add("rollback", fn([](py::args) { set_busy(true); }, "note_rollback"));
    return out;
}

}  // namespace

void guard_engine(py::handle engine, py::handle log) {
    if (!S) {
        auto* state = new State();
        state->log = py::reinterpret_borrow<py::object>(log);
        // Made here, not in a child: opening even an empty database there could wait on a
        // lock of SQLite's that a thread of the parent held at the fork.
        state->closed = norvo::bind::import("sqlite3").attr("connect")(":memory:");
        state->closed.attr("close")();
        state->listeners = listeners();
        norvo::bind::import("os").attr("register_at_fork")(
            py::arg("before") = py::cpp_function([] { before_fork(); }, py::name("before_fork")),
            py::arg("after_in_parent") = py::cpp_function([] { after_fork_in_parent(); }, py::name("after_fork")),
            py::arg("after_in_child") = py::cpp_function([] { after_fork_in_child(); }, py::name("after_fork")));
        S = state;
    }
    py::object listen = norvo::bind::import("sqlalchemy.event").attr("listen");
    for (py::handle pair : S->listeners) listen(engine, pair[py::int_(0)], pair[py::int_(1)]);
}

void remember_database(py::handle db) {
    if (!S) return;
    for (const py::weakref& ref : S->databases)
        if (ref().ptr() == db.ptr()) return;
    std::erase_if(S->databases, [](const py::weakref& ref) { return ref().is_none(); });
    S->databases.push_back(py::weakref(db));
}

}  // namespace norvo::database_forks
