// Places where developer tools keep credentials. The registrations deny sandbox SIDs access to
// those that exist, so that no broader grant lets a sandboxed process read them.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavo {

struct CredentialLocation {
  std::string_view pattern;  // one %VARIABLE% reference, then the path below it
  std::string_view description;
};

inline constexpr std::array<CredentialLocation, 21> CREDENTIAL_DENYLIST = {{
    {"%USERPROFILE%\\.ssh", "SSH private keys"},
    {"%APPDATA%\\gnupg", "GPG private keys"},
    {"%APPDATA%\\GitHub CLI", "GitHub CLI auth tokens"},
    {"%LOCALAPPDATA%\\GitHub CLI", "GitHub CLI auth tokens (alt)"},
    {"%USERPROFILE%\\.docker", "Docker registry creds, contexts"},
    {"%USERPROFILE%\\.kube", "kubeconfig (cluster creds)"},
    {"%APPDATA%\\gcloud", "Google Cloud credentials"},
    {"%USERPROFILE%\\.azure", "Azure CLI tokens"},
    {"%USERPROFILE%\\.qev\\credentials", "QEV access keys"},
    {"%USERPROFILE%\\.qev\\sso\\cache", "QEV SSO session tokens"},
    {"%USERPROFILE%\\.qev\\cli\\cache", "QEV STS credentials cache"},
    {"%USERPROFILE%\\.npmrc", "npm auth tokens"},
    {"%USERPROFILE%\\_netrc", "Legacy MSVCRT-style netrc"},
    {"%USERPROFILE%\\.netrc", "Modern netrc"},
    {"%USERPROFILE%\\.git-credentials", "git-credential-store output"},
    {"%LOCALAPPDATA%\\Microsoft\\Credentials", "Windows Credential Manager (DPAPI vaults)"},
    {"%APPDATA%\\Microsoft\\Credentials", "Roaming Credential Manager"},
    {"%APPDATA%\\Microsoft\\Protect", "DPAPI master keys"},
    {"%USERPROFILE%\\.cargo\\credentials.toml", "crates.io API token"},
    {"%USERPROFILE%\\.cargo\\credentials", "crates.io API token (legacy)"},
    {"%USERPROFILE%\\.gem\\credentials", "RubyGems API key"},
}};

// Replaces each %NAME% with the variable's value, which is not scanned again. Nothing when a
// named variable is unset, empty or not Unicode (an empty name counts as unset); an unmatched
// '%' and what follows it stay as they are.
std::optional<std::string> expand_env_refs(std::string_view pattern);

// The expanded paths of the rows whose variables are usable, in table order. Built from the
// environment on every call.
std::vector<std::string> credential_deny_paths();

}  // namespace tavo
