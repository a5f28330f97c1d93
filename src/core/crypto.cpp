#include "norvo/core/crypto.hpp"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/core_names.h>
#include <openssl/params.h>
#include <openssl/provider.h>
#include <openssl/rand.h>

#include <pthread.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <strings.h>
#include <memory>
#include <mutex>
#include <new>
#include <optional>

#include "norvo/core/sha384_blocks.hpp"

namespace norvo::core {

// ---- The mode lock

void ModeLock::lock_shared() {
    if (!(state_.fetch_add(1, std::memory_order_acquire) & WRITER)) return;
    // A writer waits or holds the lock: step back out of its count and wait until it is done.
    // Everything from here runs under the mutex, under which alone a writer sets its bit, so
    // a writer that counted this thread cannot miss the notice, and the second try succeeds.
    std::unique_lock<std::mutex> guard(mutex_);
    ++readers_waiting_;
    if (state_.fetch_sub(1, std::memory_order_acq_rel) - 1 == WRITER) readers_left_.notify_all();
    writer_left_.wait(guard, [this] { return !(state_.load(std::memory_order_acquire) & WRITER); });
    state_.fetch_add(1, std::memory_order_acquire);
    // The next writer waits until every reader held up by this one has had its turn.
    if (--readers_waiting_ == 0) writer_left_.notify_all();
}

void ModeLock::unlock_shared() {
    if (state_.fetch_sub(1, std::memory_order_release) - 1 == WRITER) {
        std::lock_guard<std::mutex> guard(mutex_);
        readers_left_.notify_all();
    }
}

void ModeLock::lock() {
    std::unique_lock<std::mutex> guard(mutex_);
    ++writers_waiting_;
    writer_left_.wait(guard, [this] { return !writer_ && readers_waiting_ == 0; });
    writer_ = true;
    state_.fetch_or(WRITER, std::memory_order_acq_rel);
    readers_left_.wait(guard, [this] { return state_.load(std::memory_order_acquire) == WRITER; });
    --writers_waiting_;
}

void ModeLock::unlock() {
    std::lock_guard<std::mutex> guard(mutex_);
    writer_ = false;
    state_.fetch_and(~WRITER, std::memory_order_release);
    writer_left_.notify_all();
}

std::size_t ModeLock::waiting() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return readers_waiting_ + writers_waiting_;
}

void ModeLock::before_fork() {
    const std::thread::id me = std::this_thread::get_id();
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (fork_depth_ != 0 && fork_owner_ == me) {
            ++fork_depth_;
            return;
        }
    }
    // Another thread's fork, if any, holds the lock until its own parent handler lets go.
    lock();
    std::lock_guard<std::mutex> guard(mutex_);
    fork_owner_ = me;
    fork_depth_ = 1;
}

void ModeLock::after_fork_in_parent() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (--fork_depth_ != 0) return;
    }
    unlock();
}

FipsChange ModeLock::after_fork_in_child() {
    // Not under mutex_: a thread that the child lacks may have held it at the fork. The child
    // has one thread, this one.
    if (--fork_depth_ != 0) return {};
    // Made anew over the copies, whose state may name waiters or an owner that are gone.
    new (&mutex_) std::mutex;
    new (&readers_left_) std::condition_variable;
    new (&writer_left_) std::condition_variable;
    state_.store(0, std::memory_order_relaxed);
    writer_ = false;
    readers_waiting_ = writers_waiting_ = 0;
    fork_owner_ = std::thread::id();
    FipsChange left = unconfirmed_;
    unconfirmed_ = FipsChange{};
    return left;
}

void ModeLock::hold_unconfirmed(const FipsChange& change) { unconfirmed_ = change; }

void ModeLock::drop_unconfirmed() { unconfirmed_ = FipsChange{}; }

namespace {

void fork_prepare();
void fork_parent();
void fork_child();

// Once for this copy of the core, before its lock can be used: the handlers act on the lock
// the copy takes at the time of the fork. Never from inside an operation: fork() holds its
// list of handlers while they run, and the prepare handler waits for the operations.
void register_fork_handlers() {
    static std::once_flag once;
    std::call_once(once, [] { pthread_atfork(fork_prepare, fork_parent, fork_child); });
}

// Never destroyed: threads may still run operations while the process runs its exit handlers.
ModeLock& own_mode_lock() {
    static ModeLock* lock = [] {
        register_fork_handlers();
        return new ModeLock;
    }();
    return *lock;
}

std::atomic<ModeLock*> given_mode_lock{nullptr};

// How deep this thread is in mode guards of this copy of the core. An operation never calls
// into another copy, so nesting is always counted here.
thread_local unsigned mode_depth = 0;

}  // namespace

ModeLock& mode_lock() {
    ModeLock* lock = given_mode_lock.load(std::memory_order_acquire);
    return lock ? *lock : own_mode_lock();
}

void share_mode_lock(ModeLock& lock) {
    register_fork_handlers();
    given_mode_lock.store(&lock, std::memory_order_release);
}

ModeReadGuard::ModeReadGuard() : lock_(nullptr) {
    if (mode_depth++ == 0) {
        lock_ = &mode_lock();
        try {
            lock_->lock_shared();
        } catch (...) {
            --mode_depth;
            throw;
        }
    }
}

ModeReadGuard::~ModeReadGuard() {
    --mode_depth;
    if (lock_) lock_->unlock_shared();
}

ModeWriteGuard::ModeWriteGuard() : lock_(&mode_lock()) {
    if (mode_depth != 0) throw std::logic_error("a change of FIPS mode from inside an operation");
    lock_->lock();
    ++mode_depth;
}

ModeWriteGuard::~ModeWriteGuard() {
    --mode_depth;
    lock_->unlock();
}

namespace {

[[noreturn]] void throw_openssl(const char* what) {
    std::string msg = what;
    unsigned long e;
    char buf[256];
    while ((e = ERR_get_error()) != 0) {
        ERR_error_string_n(e, buf, sizeof buf);
        msg += ": ";
        msg += buf;
    }
    throw OpenSSLError(msg);
}

struct CipherCtxFree { void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); } };
struct MdCtxFree { void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); } };
struct MdFree { void operator()(EVP_MD* p) const { EVP_MD_free(p); } };

// OpenSSL wants non-null pointers even for empty inputs in a few places.
const unsigned char kEmpty[1] = {0};
inline const unsigned char* ptr(bytes_view v) { return v.empty() ? kEmpty : v.data(); }

std::unique_ptr<EVP_MD, MdFree> fetch_md(const char* name) {
    EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
    if (!md) throw_openssl("digest not available");
    return std::unique_ptr<EVP_MD, MdFree>(md);
}

// The algorithm objects the hot paths use, fetched under one FIPS mode. Fetching costs more
// than sealing a small portion, so they are fetched once per mode, not once per call.
struct Algorithms {
    explicit Algorithms(bool fips_mode) : fips(fips_mode) {
        const char* names[] = {"AES-128-CTR", "AES-192-CTR", "AES-256-CTR"};
        for (int i = 0; i < 3; ++i) ctr[i] = EVP_CIPHER_fetch(nullptr, names[i], nullptr);
        hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
        sha384 = EVP_MD_fetch(nullptr, "SHA2-384", nullptr);
        // A missing algorithm is reported when it is used, with its own message.
        ERR_clear_error();
    }
    ~Algorithms() {
        for (EVP_CIPHER* c : ctr) EVP_CIPHER_free(c);
        EVP_MAC_free(hmac);
        EVP_MD_free(sha384);
    }
    Algorithms(const Algorithms&) = delete;
    Algorithms& operator=(const Algorithms&) = delete;

    const bool fips;
    EVP_CIPHER* ctr[3] = {};
    EVP_MAC* hmac = nullptr;
    EVP_MD* sha384 = nullptr;
};

bool fips_on() { return EVP_default_properties_is_fips_enabled(nullptr) == 1; }

// The set for the mode OpenSSL is in now. The caller holds the mode lock shared, so the mode
// read here is the one the set is fetched under and stays so while the caller uses it. A
// caller keeps its shared_ptr for the length of one operation, so a mode change drops the old
// set only once nobody uses it. The holder is never destroyed: the objects must not be freed
// after OpenSSL's own exit-time cleanup.
std::shared_ptr<const Algorithms> algorithms() {
    struct Holder {
        std::mutex lock;
        std::shared_ptr<const Algorithms> current;
    };
    static Holder* holder = new Holder;
    std::lock_guard<std::mutex> guard(holder->lock);
    const bool fips = fips_on();
    if (!holder->current || holder->current->fips != fips) holder->current = std::make_shared<Algorithms>(fips);
    return holder->current;
}

int ctr_cipher_slot(std::size_t key_size) {
    switch (key_size) {
        case 16: return 0;
        case 24: return 1;
        case 32: return 2;
        default: return -1;
    }
}

}  // namespace

void random_bytes(bytes_out out) {
    // A thread's first draw fetches its generator under the default properties.
    ModeReadGuard mode;
    // RAND_bytes takes an int count; larger requests go in pieces so every byte is checked.
    std::size_t done = 0;
    do {
        std::size_t chunk = std::min<std::size_t>(out.size() - done, INT_MAX);
        unsigned char* p = out.empty() ? const_cast<unsigned char*>(kEmpty) : out.data() + done;
        if (RAND_bytes(p, static_cast<int>(chunk)) != 1) {
            ERR_clear_error();
            throw RandomError("Failed to get random bytes.");
        }
        done += chunk;
    } while (done < out.size());
}

std::vector<std::uint8_t> random_bytes(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    random_bytes(bytes_out(v));
    return v;
}

void aes_ctr_check(std::size_t key_size, std::size_t iv_size) {
    if (ctr_cipher_slot(key_size) < 0)
        throw InvalidArgument("Invalid key size (" + std::to_string(key_size * 8) + ") for AES.");
    aes_ctr_check_iv(iv_size);
}

void aes_ctr_check_iv(std::size_t iv_size) {
    if (iv_size != AES_BLOCK_SIZE)
        throw InvalidArgument("Invalid nonce size (" + std::to_string(iv_size) + ") for CTR.");
}

AesCtr::AesCtr(bytes_view key) : ctx_(nullptr) {
    aes_ctr_check(key.size(), AES_BLOCK_SIZE);
    ModeReadGuard mode;
    auto algs = algorithms();
    const EVP_CIPHER* cipher = algs->ctr[ctr_cipher_slot(key.size())];
    if (!cipher) throw OpenSSLError("AES-CTR not available");
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ctx || EVP_EncryptInit_ex2(ctx, cipher, key.data(), nullptr, nullptr) != 1) {
        EVP_CIPHER_CTX_free(ctx);
        throw_openssl("AES-CTR init failed");
    }
    ctx_ = ctx;
    // The cipher's provider must stay as it was while the context is used.
    algorithms_ = algs;
}

AesCtr::~AesCtr() { EVP_CIPHER_CTX_free(static_cast<EVP_CIPHER_CTX*>(ctx_)); }

void AesCtr::apply(bytes_view iv, bytes_view in, std::uint8_t* out) {
    aes_ctr_check_iv(iv.size());
    ModeReadGuard mode;
    auto* ctx = static_cast<EVP_CIPHER_CTX*>(ctx_);
    if (EVP_EncryptInit_ex2(ctx, nullptr, nullptr, iv.data(), nullptr) != 1) throw_openssl("AES-CTR init failed");
    // EVP_EncryptUpdate counts in int; feed large buffers in 1 GiB steps, the counter carries over.
    constexpr std::size_t step = std::size_t(1) << 30;
    std::size_t off = 0;
    while (off < in.size()) {
        std::size_t n = std::min(step, in.size() - off);
        int outl = 0;
        if (EVP_EncryptUpdate(ctx, out + off, &outl, in.data() + off, static_cast<int>(n)) != 1 ||
            static_cast<std::size_t>(outl) != n)
            throw_openssl("AES-CTR update failed");
        off += n;
    }
}

void aes_ctr(bytes_view key, bytes_view iv, bytes_view in, std::uint8_t* out) {
    aes_ctr_check(key.size(), iv.size());
    ModeReadGuard mode;
    AesCtr(key).apply(iv, in, out);
}

bool digest_available(const char* name) {
    ModeReadGuard mode;
    EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
    ERR_clear_error();
    if (!md) return false;
    EVP_MD_free(md);
    return true;
}

std::vector<std::uint8_t> digest(const char* name, bytes_view data) {
    ModeReadGuard mode;
    auto md = fetch_md(name);
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    std::vector<std::uint8_t> out(EVP_MD_get_size(md.get()));
    unsigned int len = 0;
    if (!ctx || EVP_DigestInit_ex2(ctx.get(), md.get(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), ptr(data), data.size()) != 1 ||
        EVP_DigestFinal_ex(ctx.get(), out.data(), &len) != 1)
        throw_openssl("digest failed");
    out.resize(len);
    return out;
}

std::array<std::uint8_t, SHA384_DIGEST_SIZE> sha384(bytes_view data) {
    std::array<std::uint8_t, SHA384_DIGEST_SIZE> out{};
    unsigned int len = 0;
    ModeReadGuard mode;
    auto algs = algorithms();
    if (!algs->sha384) throw OpenSSLError("SHA-384 not available");
    if (EVP_Digest(ptr(data), data.size(), out.data(), &len, algs->sha384, nullptr) != 1 ||
        len != SHA384_DIGEST_SIZE)
        throw_openssl("SHA-384 failed");
    return out;
}

struct HmacSha384::State {
    // Outside FIPS mode: the MAC on the compression function. In FIPS mode: the provider's context.
    std::optional<sha384_blocks::Hmac> blocks;
    EVP_MAC_CTX* mac = nullptr;
};

struct HmacSha384Key::State {
    // Outside FIPS mode: the padded key states. In FIPS mode: the key, for the provider.
    std::optional<sha384_blocks::HmacKey> blocks;
    std::vector<std::uint8_t> key;
};

HmacSha384Key::HmacSha384Key(bytes_view key) : state_(new State) {
    ModeReadGuard mode;
    if (fips_on())
        state_->key.assign(key.begin(), key.end());
    else
        state_->blocks.emplace(key);
}

HmacSha384Key::~HmacSha384Key() {
    if (!state_->key.empty()) OPENSSL_cleanse(state_->key.data(), state_->key.size());
    delete state_;
}

std::array<std::uint8_t, SHA384_DIGEST_SIZE> HmacSha384Key::mac(bytes_view data) const {
    ModeReadGuard mode;
    // A MAC of a small portion costs no allocation outside FIPS mode.
    if (state_->blocks) return state_->blocks->mac(data);
    HmacSha384 m(*this);
    m.update(data);
    return m.final();
}

bool HmacSha384Key::verify(bytes_view data, bytes_view tag) const {
    auto computed = mac(data);
    return constant_time_equal(bytes_view(computed), tag);
}

HmacSha384::HmacSha384(const HmacSha384Key& key) : state_(nullptr) {
    ModeReadGuard mode;
    if (!key.state_->blocks) {
        state_ = provider_state(bytes_view(key.state_->key));
        return;
    }
    state_ = new State;
    state_->blocks.emplace(*key.state_->blocks);
}

HmacSha384::HmacSha384(bytes_view key) : state_(nullptr) {
    ModeReadGuard mode;
    if (fips_on()) {
        state_ = provider_state(key);
        return;
    }
    state_ = new State;
    state_->blocks.emplace(key);
}

HmacSha384::State* HmacSha384::provider_state(bytes_view key) {
    auto algs = algorithms();
    if (!algs->hmac) throw OpenSSLError("HMAC not available");
    std::unique_ptr<State> state(new State);
    state->mac = EVP_MAC_CTX_new(algs->hmac);
    if (!state->mac) throw_openssl("HMAC context");
    char digest_name[] = "SHA2-384";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest_name, 0),
                           OSSL_PARAM_construct_end()};
    if (EVP_MAC_init(state->mac, ptr(key), key.size(), params) != 1) {
        EVP_MAC_CTX_free(state->mac);
        throw_openssl("HMAC init failed");
    }
    return state.release();
}

HmacSha384::~HmacSha384() {
    if (state_->mac) EVP_MAC_CTX_free(state_->mac);
    delete state_;
}

void HmacSha384::update(bytes_view data) {
    if (data.empty()) return;
    ModeReadGuard mode;
    if (state_->mac) {
        if (EVP_MAC_update(state_->mac, data.data(), data.size()) != 1) throw_openssl("HMAC update failed");
    } else {
        state_->blocks->update(data);
    }
}

std::array<std::uint8_t, SHA384_DIGEST_SIZE> HmacSha384::final() {
    std::array<std::uint8_t, SHA384_DIGEST_SIZE> out{};
    ModeReadGuard mode;
    if (state_->mac) {
        std::size_t len = 0;
        if (EVP_MAC_final(state_->mac, out.data(), &len, out.size()) != 1 || len != SHA384_DIGEST_SIZE)
            throw_openssl("HMAC final failed");
        return out;
    }
    return state_->blocks->final();
}

std::array<std::uint8_t, SHA384_DIGEST_SIZE> hmac_sha384(bytes_view key, std::span<const bytes_view> pieces) {
    ModeReadGuard mode;
    HmacSha384 mac(key);
    for (bytes_view p : pieces) mac.update(p);
    return mac.final();
}

std::array<std::uint8_t, SHA384_DIGEST_SIZE> hmac_sha384(bytes_view key, bytes_view data) {
    bytes_view one[] = {data};
    return hmac_sha384(key, std::span<const bytes_view>(one));
}

bool constant_time_equal(bytes_view a, bytes_view b) {
    if (a.size() != b.size()) return false;
    if (a.empty()) return true;
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool hmac_sha384_verify(bytes_view key, bytes_view data, bytes_view tag) {
    auto computed = hmac_sha384(key, data);
    return constant_time_equal(bytes_view(computed), tag);
}

namespace {

bool is_sha384(const char* name) { return !strcasecmp(name, "SHA384") || !strcasecmp(name, "SHA2-384"); }

}  // namespace

void pbkdf2_hmac(const char* digest_name, bytes_view secret, bytes_view salt, std::uint64_t iterations,
                 bytes_out out) {
    if (iterations == 0 || iterations > static_cast<std::uint64_t>(INT_MAX))
        throw InvalidArgument("iterations out of range");
    if (out.size() > static_cast<std::size_t>(INT_MAX) || secret.size() > INT_MAX || salt.size() > INT_MAX)
        throw InvalidArgument("PBKDF2 input too large");
    ModeReadGuard mode;
    if (is_sha384(digest_name) && !fips_on()) {
        sha384_blocks::pbkdf2_hmac(secret, salt, iterations, out);
        return;
    }
    auto md = fetch_md(digest_name);
    if (PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(ptr(secret)), static_cast<int>(secret.size()), ptr(salt),
                          static_cast<int>(salt.size()), static_cast<int>(iterations), md.get(),
                          static_cast<int>(out.size()), out.empty() ? const_cast<unsigned char*>(kEmpty) : out.data()) != 1)
        throw_openssl("PBKDF2 failed");
}

void x963_kdf(const char* digest_name, bytes_view secret, bytes_view shared_info, bytes_out out) {
    // ANSI X9.63: K(i) = H(Z || counter_i as 32-bit big-endian || SharedInfo), counter from 1.
    // Done over the digest directly: OpenSSL's X963KDF provider refuses an empty Z, which the
    // standard (and the crypto library) accept.
    if (out.empty()) return;
    ModeReadGuard mode;
    auto md = fetch_md(digest_name);
    const std::size_t hlen = static_cast<std::size_t>(EVP_MD_get_size(md.get()));
    if (hlen == 0) throw InvalidArgument("X9.63 KDF needs a fixed-size digest");
    if ((out.size() - 1) / hlen >= 0xffffffffULL) throw InvalidArgument("X9.63 KDF output too long");
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!ctx) throw_openssl("digest context");
    std::vector<std::uint8_t> block(hlen);
    std::size_t done = 0;
    for (std::uint32_t counter = 1; done < out.size(); ++counter) {
        const unsigned char be[4] = {static_cast<unsigned char>(counter >> 24), static_cast<unsigned char>(counter >> 16),
                                     static_cast<unsigned char>(counter >> 8), static_cast<unsigned char>(counter)};
        unsigned int len = 0;
        if (EVP_DigestInit_ex2(ctx.get(), md.get(), nullptr) != 1 ||
            EVP_DigestUpdate(ctx.get(), ptr(secret), secret.size()) != 1 ||
            EVP_DigestUpdate(ctx.get(), be, sizeof be) != 1 ||
            EVP_DigestUpdate(ctx.get(), ptr(shared_info), shared_info.size()) != 1 ||
            EVP_DigestFinal_ex(ctx.get(), block.data(), &len) != 1 || len != hlen)
            throw_openssl("X9.63 KDF failed");
        std::size_t n = std::min(hlen, out.size() - done);
        std::copy(block.begin(), block.begin() + n, out.begin() + done);
        done += n;
    }
    OPENSSL_cleanse(block.data(), block.size());
}

bool fips_enable(FipsChange* change) {
    if (change) *change = FipsChange{};
    ModeWriteGuard mode;
    if (fips_on() && OSSL_PROVIDER_available(nullptr, "fips")) return true;
    // Make sure the default provider is activated before another provider is loaded
    // explicitly; otherwise undoing a failed switch would leave no provider at all.
    EVP_MD_free(EVP_MD_fetch(nullptr, "SHA2-384", nullptr));
    ERR_clear_error();
    OSSL_PROVIDER* prov = OSSL_PROVIDER_load(nullptr, "fips");
    if (!prov) {
        ERR_clear_error();
        return false;
    }
    const bool was_on = fips_on();
    if (!was_on && EVP_default_properties_enable_fips(nullptr, 1) != 1) {
        OSSL_PROVIDER_unload(prov);
        ERR_clear_error();
        return false;
    }
    EVP_MD* probe = EVP_MD_fetch(nullptr, "SHA2-384", nullptr);
    if (!probe || !fips_on()) {
        EVP_MD_free(probe);
        if (!was_on) EVP_default_properties_enable_fips(nullptr, 0);
        OSSL_PROVIDER_unload(prov);
        ERR_clear_error();
        return false;
    }
    EVP_MD_free(probe);
    if (change) {
        *change = FipsChange{prov, !was_on};
        mode_lock().hold_unconfirmed(*change);
    }
    return true;
}

namespace {

// With the lock held exclusive.
void undo_change(const FipsChange& change) {
    if (change.switched) EVP_default_properties_enable_fips(nullptr, 0);
    if (change.provider) OSSL_PROVIDER_unload(static_cast<OSSL_PROVIDER*>(change.provider));
    ERR_clear_error();
    mode_lock().drop_unconfirmed();
}

void fork_prepare() { mode_lock().before_fork(); }

void fork_parent() { mode_lock().after_fork_in_parent(); }

// A switch still unconfirmed at the fork was half made as far as this child is concerned: the
// thread that was to finish it is not here. The child goes back to the mode it had before.
void fork_child() {
    FipsChange left = mode_lock().after_fork_in_child();
    if (left.provider || left.switched) {
        ModeWriteGuard mode;
        undo_change(left);
    }
}

}  // namespace

void fips_undo(const FipsChange& change) {
    ModeWriteGuard mode;
    undo_change(change);
}

void fips_confirm(const FipsChange& change) {
    if (!change.provider && !change.switched) return;
    ModeWriteGuard mode;
    mode_lock().drop_unconfirmed();
}

bool fips_enabled() {
    ModeReadGuard mode;
    return fips_on();
}

bool fips_flip() {
    ModeWriteGuard mode;
    if (fips_on()) return false;
    EVP_default_properties_enable_fips(nullptr, 1);
    EVP_default_properties_enable_fips(nullptr, 0);
    ERR_clear_error();
    return !fips_on();
}

std::string to_hex(bytes_view data) {
    static const char digits[] = "0123456789abcdef";
    std::string s(data.size() * 2, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        s[2 * i] = digits[data[i] >> 4];
        s[2 * i + 1] = digits[data[i] & 15];
    }
    return s;
}

}  // namespace norvo::core
