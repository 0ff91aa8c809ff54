// Authenticity of firmware files: when the board holds a public key (an
// Ed25519 key in PEM form at board_fw_pubkey_path()), every firmware file
// must come with a detached signature, the raw 64-byte Ed25519 signature of
// the whole file, in a file named after it with ".sig" added. Without a key
// every file is accepted, as before keys existed.
#pragma once

#include <string>

// True when the board holds a firmware key.
bool fw_signature_required();

// Checks the signature of the file at host path `image` (image + ".sig").
// 0 when no key is installed or the signature is valid; -1 otherwise, with
// the reason in `why` (missing or unreadable signature, bad signature,
// unreadable key).
int fw_signature_check(const std::string& image, std::string* why);
