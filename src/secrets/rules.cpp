#include "secrets/rules.h"

#include <array>
#include <cmath>
#include <string_view>

namespace tq {
namespace {

// Boundaries keep a key from matching inside a longer token of the same
// alphabet (a Base64 image, a minified bundle): a real key is delimited by
// quotes, spaces, `=` or the end of a line. A key starts at the start of the
// text, after a character outside the word alphabet, or after an escaped
// newline or tab (`\n` in JSON text that a tool printed); the key is then the
// rule's first group.
#define TQ_TOKEN_START R"re((?:^|[^0-9A-Za-z_]|\\[nrt]))re"
constexpr SecretRule kRules[] = {
    // Anthropic: API keys are `sk-ant-api03-` and admin keys `sk-ant-admin01-`,
    // then 93 URL-safe Base64 characters ending in `AA` (Anthropic console,
    // "API keys").
    {"anthropic-api-key",
     TQ_TOKEN_START R"re((sk-ant-(?:api|admin)\d\d-[A-Za-z0-9_\-]{78,118}AA\b))re",
     SecretCheck::Format},
    // OpenAI: project, service-account and admin keys are `sk-proj-`,
    // `sk-svcacct-`, `sk-admin-` and a long URL-safe tail; the older user keys
    // are `sk-` and 48 characters with `T3BlbkFJ` (Base64 of "OpenAI") in the
    // middle (OpenAI platform docs, "API keys").
    {"openai-api-key",
     TQ_TOKEN_START
     R"re((sk-(?:(?:proj|svcacct|admin)-[A-Za-z0-9_\-]{40,200}|[A-Za-z0-9]{20}T3BlbkFJ[A-Za-z0-9]{20})\b))re",
     SecretCheck::Format},
    // Hugging Face: user access tokens are `hf_` and 34 letters (Hugging Face
    // Hub docs, "User access tokens").
    {"huggingface-token", TQ_TOKEN_START R"re((hf_[A-Za-z]{34}\b))re", SecretCheck::Format},
    // Groq: API keys are `gsk_` and 52 alphanumerics (GroqCloud console).
    {"groq-api-key", TQ_TOKEN_START R"re((gsk_[A-Za-z0-9]{52}\b))re", SecretCheck::Format},
    // xAI: API keys are `xai-` and 80 alphanumerics (xAI console, "API keys").
    {"xai-api-key", TQ_TOKEN_START R"re((xai-[A-Za-z0-9]{80}\b))re", SecretCheck::Format},
    // Replicate: API tokens are `r8_` and 37 alphanumerics (Replicate docs,
    // "Authentication").
    {"replicate-api-token", TQ_TOKEN_START R"re((r8_[A-Za-z0-9]{37}\b))re", SecretCheck::Format},
    // AWS: access key ids are 20 characters of the Base32 alphabet led by the
    // kind of key: AKIA long-term, ASIA temporary (IAM user guide, "Unique
    // identifiers").
    {"aws-access-key-id", TQ_TOKEN_START R"re(((?:AKIA|ASIA|ABIA|ACCA)[A-Z2-7]{16}\b))re",
     SecretCheck::Format},
    // AWS: secret access keys are 40 Base64 characters; only their name tells
    // them from any other such string (IAM user guide, "Managing access keys";
    // the CLI's `aws_secret_access_key` setting and AWS_SECRET_ACCESS_KEY).
    {"aws-secret-access-key",
     R"re((?i)aws_?secret_?access_?key["']?\s*[:=]\s*["']?([A-Za-z0-9/+]{40})(?:[^A-Za-z0-9/+]|$))re",
     SecretCheck::Format},
    // Google Cloud and Gemini: API keys are `AIza` and 35 URL-safe characters
    // (Google Cloud docs, "Manage API keys").
    {"google-api-key", TQ_TOKEN_START R"re((AIza[0-9A-Za-z_\-]{35}\b))re", SecretCheck::Format},
    // Azure Storage: a connection string's AccountKey is 64 bytes in Base64,
    // 88 characters with padding (Azure Storage docs, "Configure a connection
    // string").
    {"azure-storage-key", R"re(AccountKey=([A-Za-z0-9+/]{86}==))re", SecretCheck::Format},
    // GitHub: tokens are a kind prefix (ghp_ personal, gho_ OAuth, ghu_
    // user-to-server, ghs_ server-to-server, ghr_ refresh) and 36 Base62
    // characters, the last six a checksum; fine-grained personal tokens are
    // `github_pat_`, 22 and 59 characters (GitHub docs, "About
    // authentication to GitHub", token formats).
    {"github-token",
     TQ_TOKEN_START
     R"re(((?:gh[pousr]_[A-Za-z0-9]{36}|github_pat_[A-Za-z0-9]{22}_[A-Za-z0-9]{59})\b))re",
     SecretCheck::Format},
    // GitLab: tokens carry their kind in the prefix: glpat- personal, gldt-
    // deploy, glrt- runner, glcbt- CI/CD job, glptt- pipeline trigger, gloas-
    // OAuth secret, glft- feed, glsoat- SCIM (GitLab docs, "Token prefixes").
    {"gitlab-token",
     TQ_TOKEN_START
     R"re(((?:glpat|gldt|glrt|glcbt|glptt|gloas|glft|glsoat|glimt|glagent)-[A-Za-z0-9_\-]{20,64}\b))re",
     SecretCheck::Format},
    // npm: access tokens are `npm_` and 36 alphanumerics (npm docs, "About
    // access tokens").
    {"npm-token", TQ_TOKEN_START R"re((npm_[A-Za-z0-9]{36}\b))re", SecretCheck::Format},
    // PyPI: API tokens are macaroons written `pypi-` and URL-safe Base64 that
    // begins with the encoded location `pypi.org` (PyPI help, "API tokens").
    {"pypi-token", TQ_TOKEN_START R"re((pypi-AgEIcHlwaS5vcmc[A-Za-z0-9_\-]{50,400}))re",
     SecretCheck::Format},
    // Slack: tokens are `xox` and their kind (b bot, p user, a/r/s others),
    // app-level tokens `xapp-` (Slack API docs, "Token types").
    {"slack-token",
     TQ_TOKEN_START
     R"re(((?:xox[abeoprs]-[0-9]{6,}-[0-9A-Za-z\-]{8,}|xapp-\d-[A-Z0-9]{9,}-\d{6,}-[a-z0-9]{32,})))re",
     SecretCheck::Format},
    // Slack: an incoming webhook is a URL under hooks.slack.com/services/ with
    // the team, the bot and a 24-character secret (Slack API docs, "Sending
    // messages using incoming webhooks").
    {"slack-webhook",
     R"re(https://hooks\.slack\.com/(?:services|workflows|triggers)/T[A-Z0-9]{6,12}/[A-Z0-9]{6,14}/[A-Za-z0-9]{20,40})re",
     SecretCheck::Format},
    // Discord: a webhook URL is /api/webhooks/ with the webhook's snowflake id
    // and a 68-character token (Discord developer docs, "Webhook resource").
    {"discord-webhook",
     R"re(https://(?:ptb\.|canary\.)?discord(?:app)?\.com/api/webhooks/\d{17,20}/[A-Za-z0-9_\-]{60,80})re",
     SecretCheck::Format},
    // Discord: a bot token is the Base64 of the bot's snowflake id, a dot, a
    // Base64 timestamp of 6 characters, a dot and a 27-character or longer
    // HMAC (Discord developer docs, "Authorization header"). Nothing in it is
    // fixed text, and minified code has the same shape: it is taken where the
    // API's `Bot` scheme or a Discord-named setting gives it.
    {"discord-bot-token",
     R"re((?:\bBot\s+|(?i:discord)[A-Za-z0-9_]{0,24}["']?\s*[:=]\s*["']?)([MNO][A-Za-z0-9_\-]{23,27}\.[A-Za-z0-9_\-]{6}\.[A-Za-z0-9_\-]{27,40}))re",
     SecretCheck::Format},
    // Stripe: secret keys `sk_`, restricted keys `rk_`, then the mode (live,
    // test) and at least 24 alphanumerics; webhook signing secrets `whsec_`
    // (Stripe docs, "API keys" and "Check the webhook signatures").
    {"stripe-key",
     TQ_TOKEN_START
     R"re(((?:[sr]k_(?:live|test)_[A-Za-z0-9]{24,247}|whsec_[A-Za-z0-9]{32,64})\b))re",
     SecretCheck::Format},
    // PEM and OpenSSH private keys: the armour line names a private key and
    // Base64 follows, headers such as Proc-Type allowed; the end line is
    // optional, so that a key cut short is still found (RFC 7468; OpenSSH
    // PROTOCOL.key).
    {"private-key",
     R"re(-----BEGIN (?:RSA |DSA |EC |OPENSSH |ENCRYPTED |PGP )?PRIVATE KEY(?: BLOCK)?-----(?:[A-Za-z0-9+/=\s:,.\\]|-[A-Za-z0-9]){40,}(?:-----END (?:RSA |DSA |EC |OPENSSH |ENCRYPTED |PGP )?PRIVATE KEY(?: BLOCK)?-----)?)re",
     SecretCheck::Format},
    // JSON Web Tokens: three Base64url parts; the header and the claims are
    // JSON objects, so both begin `eyJ` (RFC 7519, RFC 7515 compact form).
    {"jwt",
     TQ_TOKEN_START R"re((eyJ[A-Za-z0-9_\-]{8,}\.eyJ[A-Za-z0-9_\-]{8,}\.[A-Za-z0-9_\-]{16,}))re",
     SecretCheck::Format},
    // Database URLs: the password is the userinfo after the colon
    // (RFC 3986 section 3.2.1; the URL forms of PostgreSQL, MySQL, MongoDB,
    // Redis and AMQP clients).
    {"database-url-password",
     TQ_TOKEN_START
     R"re((?:postgres(?:ql)?|mysql|mariadb|mongodb(?:\+srv)?|rediss?|amqps?|mssql|sqlserver|cockroachdb)://[^\s:/@"'<>]{1,64}:([^\s/@"'<>]{3,128})@[A-Za-z0-9.\-\[\]]+)re",
     SecretCheck::NotPlaceholder},
    // An HTTP Authorization header's credentials (RFC 6750 Bearer, RFC 7617
    // Basic, and the `token` scheme of several APIs).
    {"authorization-header",
     R"re((?i)\bauthorization["']?\s*[:=]\s*["']?(?:bearer|basic|token)\s+([A-Za-z0-9._~+/\-]{16,}=*))re",
     SecretCheck::HighEntropy},
    {"bearer-token", TQ_TOKEN_START R"re([Bb]earer\s+([A-Za-z0-9._~+/\-]{20,}=*))re",
     SecretCheck::HighEntropy},
    // A secret-like name given a value: `password=`, `api_key: "…"`,
    // `export OPENAI_API_KEY=…`, a JSON member `"client_secret": "…"`.
    {"secret-assignment",
     R"re((?i)(?:passwd|password|passphrase|secret|api_?key|apikey|access_?key|private_?key|auth_?token|access_?token|refresh_?token|client_?secret|credentials?|token)["']?\s*(?::=|=|:)\s*["']?([A-Za-z0-9+/=_\-.!@#%^&*~]{8,200}))re",
     SecretCheck::HighEntropy},
};

#undef TQ_TOKEN_START

constexpr std::string_view kPlaceholders[] = {
    "password", "passwd",   "changeme", "change-me", "example", "secret",  "redacted",
    "xxxxxxxx", "your-key", "yourkey",  "dummy",     "sample",  "default", "placeholder",
};

// A placeholder this detector writes ends in 8 hex digits after a rule name
// that is itself secret-like (`[REDACTED:github-token:1a2b3c4d]`): a shorter
// value is never taken for a secret, so redacted text scans clean.
constexpr size_t kShortestRandom = 10;

bool ascii_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool ascii_digit(char c) { return c >= '0' && c <= '9'; }
bool ascii_upper(char c) { return c >= 'A' && c <= 'Z'; }

// `SOME_NAME` or `settings.api.key`: a reference to a value, not the value.
bool is_variable_name(std::string_view value) {
  bool upper_name = true;
  bool dotted = !value.empty() && ascii_alpha(value.front());
  bool after_dot = false;
  for (char c : value) {
    if (!(ascii_upper(c) || ascii_digit(c) || c == '_')) upper_name = false;
    if (c == '.') {
      after_dot = true;
    } else if (!(ascii_alpha(c) || c == '_' || (ascii_digit(c) && !after_dot))) {
      dotted = false;
    } else {
      after_dot = false;
    }
  }
  bool has_dot = value.find('.') != std::string_view::npos;
  return upper_name || (dotted && has_dot);
}

double entropy_bits(std::string_view value) {
  std::array<uint32_t, 256> counts{};
  for (unsigned char c : value) ++counts[c];
  double bits = 0;
  const double n = static_cast<double>(value.size());
  for (uint32_t count : counts) {
    if (count == 0) continue;
    const double p = count / n;
    bits -= p * std::log2(p);
  }
  return bits;
}

}  // namespace

std::span<const SecretRule> secret_rules() { return kRules; }

bool is_placeholder(std::string_view value) {
  if (value.empty()) return true;
  const char first = value.front();
  if (first == '$' || first == '<' || first == '{' || first == '%' || first == '[') return true;
  bool all_same = true;
  for (char c : value) all_same = all_same && c == first;
  if (all_same) return true;
  for (std::string_view word : kPlaceholders) {
    if (value.size() < word.size()) continue;
    bool equal = true;
    for (size_t i = 0; i < word.size() && equal; ++i) {
      char c = value[i];
      if (ascii_upper(c)) c = static_cast<char>(c - 'A' + 'a');
      equal = c == word[i];
    }
    if (equal) return true;
  }
  return false;
}

bool looks_random(std::string_view value) {
  if (value.size() < kShortestRandom || is_placeholder(value) || is_variable_name(value))
    return false;
  bool letter = false;
  bool digit = false;
  for (char c : value) {
    letter = letter || ascii_alpha(c);
    digit = digit || ascii_digit(c);
  }
  return letter && digit && entropy_bits(value) >= 3.0;
}

}  // namespace tq
