#include "fw/fw_signature.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "board/board.h"
#include "fw/fw_wire.h"

namespace {

constexpr size_t kSignatureLen = 64;  // Ed25519

bool read_all(const std::string& path, std::vector<unsigned char>* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

std::unique_ptr<EVP_PKEY, PkeyFree> load_key() {
    FILE* fp = fopen(board_path(board_fw_pubkey_path()).c_str(), "r");
    if (fp == nullptr) return nullptr;
    EVP_PKEY* key = PEM_read_PUBKEY(fp, nullptr, nullptr, nullptr);
    fclose(fp);
    if (key != nullptr && EVP_PKEY_get_id(key) != EVP_PKEY_ED25519) {
        EVP_PKEY_free(key);
        key = nullptr;
    }
    return std::unique_ptr<EVP_PKEY, PkeyFree>(key);
}

}  // namespace

bool fw_signature_required() {
    return board_file_exists(board_fw_pubkey_path());
}

int fw_signature_check(const std::string& image, std::string* why) {
    if (!fw_signature_required()) return 0;
    const auto key = load_key();
    if (!key) {
        *why = "the firmware key cannot be read as an Ed25519 public key";
        return -1;
    }
    std::vector<unsigned char> sig;
    if (!read_all(image + FW_SIG_SUFFIX, &sig)) {
        *why = "no signature";
        return -1;
    }
    if (sig.size() != kSignatureLen) {
        *why = "the signature is not 64 bytes";
        return -1;
    }
    std::vector<unsigned char> data;
    if (!read_all(image, &data)) {
        *why = "the file cannot be read";
        return -1;
    }
    const std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    // Ed25519 signs the message itself: no digest, one call over all of it.
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestVerify(ctx.get(), sig.data(), sig.size(), data.data(), data.size()) != 1) {
        *why = "bad signature";
        return -1;
    }
    return 0;
}
