// Thin, interpreter-free wrappers over OpenSSL libcrypto's EVP interfaces.
// Every function either succeeds or throws. The core keeps no mode of its own: whether FIPS
// mode is on is always read from OpenSSL's process-wide default properties, so every
// extension module that links the core sees the same mode. The cipher, digest and MAC
// objects are fetched once per mode and kept; a change of mode drops them and fetches anew.
// OpenSSL does not guard those properties against a change while another thread reads them,
// so every operation here holds the mode lock shared and a change of mode holds it exclusive.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace norvo::core {

using bytes_view = std::span<const std::uint8_t>;
using bytes_out = std::span<std::uint8_t>;

// An OpenSSL call failed for a reason other than bad input; carries OpenSSL's error text.
struct OpenSSLError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// RAND_bytes did not report success.
struct RandomError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Bad sizes or parameters from the caller. Bindings map it to ValueError.
struct InvalidArgument : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// Bytes that do not hold a whole record of a byte format (a field runs past the end), or a
// record to build that does not fit its buffer. The one error of every codec in the core.
struct FormatError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// What one fips_enable call changed, so that a caller whose larger switch fails later can
// undo exactly that and nothing else. Held by the caller; the mode lock also keeps it until
// the caller confirms or undoes it, so that a child forked in between can undo it.
struct FipsChange {
    void* provider = nullptr;  // the FIPS provider this call loaded (an OSSL_PROVIDER), or null
    bool switched = false;     // whether this call turned the "fips=yes" default property on
};

// A shared/exclusive lock that prefers the exclusive side: once a change of mode waits, new
// operations wait behind it, so a switch gets through however busy the other threads are;
// the operations it held up all run before the next change. Uncontended, taking and leaving
// it shared is one atomic step each.
class ModeLock {
public:
    ModeLock() = default;
    ModeLock(const ModeLock&) = delete;
    ModeLock& operator=(const ModeLock&) = delete;
    void lock_shared();
    void unlock_shared();
    void lock();
    void unlock();
    // How many threads wait to take the lock, either way: lets a test know that a thread is
    // held up here rather than merely slow.
    std::size_t waiting() const;

    // Around fork(), on the forking thread (the core's fork handlers call these). Before, the
    // lock is taken exclusive: the fork waits for a change of mode under way and for the
    // operations under way, none of which waits for anything the forking thread may hold, so
    // that the child copies no half-made change and no OpenSSL state in use. After, the parent
    // lets go; the child, which has none of the other threads, starts from a lock that nobody
    // holds or waits for, whatever the other threads were doing with it. Calls nest: every
    // copy of the core sharing the lock registers its own handlers, and only the outermost
    // pair acts. after_fork_in_child returns the change of mode left unconfirmed, if any.
    void before_fork();
    void after_fork_in_parent();
    FipsChange after_fork_in_child();

    // A change of mode that a switch made and has yet to confirm or undo; taken with the lock
    // held exclusive, which a switch holds while it makes or undoes the change.
    void hold_unconfirmed(const FipsChange& change);
    void drop_unconfirmed();

private:
    static constexpr std::uint32_t WRITER = 0x80000000u;
    std::atomic<std::uint32_t> state_{0};  // shared holders, plus WRITER while a writer waits or holds
    mutable std::mutex mutex_;
    std::condition_variable readers_left_, writer_left_;
    // Under mutex_: whether a writer holds the lock or drains its readers, and who waits.
    bool writer_ = false;
    std::size_t readers_waiting_ = 0, writers_waiting_ = 0;
    // Under mutex_: which thread holds the lock across a fork, and how deep its handlers are.
    std::thread::id fork_owner_;
    unsigned fork_depth_ = 0;
    // Under the exclusive hold.
    FipsChange unconfirmed_;
};

// The lock this copy of the core takes. Each extension module links its own copy of the
// core; the modules hand every copy one lock (share_mode_lock) before any of it runs, so
// the lock is one for the whole process. Standing alone, a copy uses a lock of its own.
ModeLock& mode_lock();
void share_mode_lock(ModeLock& lock);

// Holds the mode lock shared for one operation. Guards nest on a thread: only the outermost
// takes the lock, so an operation made of others reads the mode once, and a thread inside an
// operation never queues behind a writer that waits for that very operation to end.
class ModeReadGuard {
public:
    ModeReadGuard();
    ~ModeReadGuard();
    ModeReadGuard(const ModeReadGuard&) = delete;
    ModeReadGuard& operator=(const ModeReadGuard&) = delete;

private:
    ModeLock* lock_;
};

// Holds the mode lock exclusive, for a change of mode; operations run inside it read the
// mode being made. A caller holding the interpreter lock releases it first: a thread inside
// an operation must be able to finish without waiting for anything this thread holds.
// Throws std::logic_error on a thread that is inside an operation, which could never end.
class ModeWriteGuard {
public:
    ModeWriteGuard();
    ~ModeWriteGuard();
    ModeWriteGuard(const ModeWriteGuard&) = delete;
    ModeWriteGuard& operator=(const ModeWriteGuard&) = delete;

private:
    ModeLock* lock_;
};

inline constexpr std::size_t SHA384_DIGEST_SIZE = 48;
inline constexpr std::size_t SHA384_BLOCK_SIZE = 128;
inline constexpr std::size_t AES_BLOCK_SIZE = 16;

// Fill `out` from OpenSSL's DRBG; throws RandomError unless RAND_bytes returns 1.
void random_bytes(bytes_out out);
std::vector<std::uint8_t> random_bytes(std::size_t n);

// AES in counter mode with a 16-byte initial counter block incremented as one
// big-endian 128-bit number. Key sizes 16, 24 and 32 select AES-128/192/256.
// `out` may alias `in` exactly; it must be at least in.size() bytes.
void aes_ctr(bytes_view key, bytes_view iv, bytes_view in, std::uint8_t* out);

// AES-CTR under one key for several messages: the key schedule and the cipher context are
// made once, each message only sets its own counter block.
class AesCtr {
public:
    explicit AesCtr(bytes_view key);
    ~AesCtr();
    AesCtr(const AesCtr&) = delete;
    AesCtr& operator=(const AesCtr&) = delete;
    // As aes_ctr: `out` may alias `in` exactly.
    void apply(bytes_view iv, bytes_view in, std::uint8_t* out);

private:
    void* ctx_;  // EVP_CIPHER_CTX
    std::shared_ptr<const void> algorithms_;
};

// Throws InvalidArgument when the key or counter block sizes are not accepted by aes_ctr.
void aes_ctr_check(std::size_t key_size, std::size_t iv_size);
void aes_ctr_check_iv(std::size_t iv_size);

// Message digest by OpenSSL name ("SHA384", "SHA256", ...). Returns the digest bytes.
std::vector<std::uint8_t> digest(const char* name, bytes_view data);
std::array<std::uint8_t, SHA384_DIGEST_SIZE> sha384(bytes_view data);
// True when OpenSSL can fetch a digest of that name under the current properties.
bool digest_available(const char* name);

// HMAC-SHA384 over data fed in pieces. Outside FIPS mode it runs on the digest's compression
// function with the padded key states prepared once (sha384_blocks.hpp: no provider dispatch
// per block or per message); in FIPS mode it runs on the provider's HMAC.
class HmacSha384Key;

class HmacSha384 {
public:
    explicit HmacSha384(bytes_view key);
    explicit HmacSha384(const HmacSha384Key& key);
    ~HmacSha384();
    HmacSha384(const HmacSha384&) = delete;
    HmacSha384& operator=(const HmacSha384&) = delete;
    void update(bytes_view data);
    std::array<std::uint8_t, SHA384_DIGEST_SIZE> final();

private:
    struct State;
    static State* provider_state(bytes_view key);
    State* state_;
};

// An HMAC-SHA384 key made ready once for several messages: the padded key states are
// computed here instead of once per message.
class HmacSha384Key {
public:
    explicit HmacSha384Key(bytes_view key);
    ~HmacSha384Key();
    HmacSha384Key(const HmacSha384Key&) = delete;
    HmacSha384Key& operator=(const HmacSha384Key&) = delete;
    std::array<std::uint8_t, SHA384_DIGEST_SIZE> mac(bytes_view data) const;
    // Compares in constant time; false for any tag length other than 48.
    bool verify(bytes_view data, bytes_view tag) const;

private:
    friend class HmacSha384;
    struct State;
    State* state_;
};

// HMAC-SHA384 one-shot; any key length.
std::array<std::uint8_t, SHA384_DIGEST_SIZE> hmac_sha384(bytes_view key, bytes_view data);
// HMAC over several pieces fed in order, as one message.
std::array<std::uint8_t, SHA384_DIGEST_SIZE> hmac_sha384(bytes_view key, std::span<const bytes_view> pieces);
// Compares in constant time; false for any length other than 48.
bool hmac_sha384_verify(bytes_view key, bytes_view data, bytes_view tag);
bool constant_time_equal(bytes_view a, bytes_view b);

// PBKDF2 (PKCS #5 v2.0) with HMAC over the named digest; SHA-384 outside FIPS mode takes the
// fast path of sha384_blocks.hpp.
void pbkdf2_hmac(const char* digest_name, bytes_view secret, bytes_view salt, std::uint64_t iterations,
                 bytes_out out);

// ANSI X9.63 KDF over the named digest.
void x963_kdf(const char* digest_name, bytes_view secret, bytes_view shared_info, bytes_out out);

// FIPS switch on OpenSSL 3: load the FIPS provider, turn on the "fips=yes" default
// property and confirm with a probe fetch. On any failure everything done is undone,
// the error queue is cleared and false is returned. With the mode already on it changes
// nothing and returns true. What it changed, handed to `change`, stays unconfirmed until
// fips_confirm or fips_undo.
bool fips_enable(FipsChange* change = nullptr);
// Undo what one successful fips_enable changed.
void fips_undo(const FipsChange& change);
// Keep what one successful fips_enable changed: the switch as a whole went through. Until
// then, a child forked meanwhile undoes the change in itself (a switch its parent had half
// made), and starts in the mode the process had before it.
void fips_confirm(const FipsChange& change);
// OpenSSL's process-wide FIPS mode: the "fips=yes" default property of the default library
// context, read afresh on every call.
bool fips_enabled();
// For tests on machines without a FIPS provider: turns the "fips=yes" default property on
// and off again, the two writes a switch makes when its probe fails, within one exclusive
// hold of the mode lock. No operation of the core can see the mode on; other users of
// OpenSSL in the process, which take no such lock, can. Returns false and touches nothing
// when FIPS mode is on.
bool fips_flip();

// Lowercase hexadecimal text of bytes.
std::string to_hex(bytes_view data);

}  // namespace norvo::core
