#!/usr/bin/env python3
"""A labelled corpus for the secret detector, and its measurement.

Positives are fake credentials of every issuer-defined format, valid in shape
(prefix, alphabet, length), each placed in a context where agents' files hold
them: a shell export, a JSON config, a curl header, a .env file, a stack trace,
a Codex rollout record and a Claude Code transcript record. Negatives are the
look-alikes those files are full of: UUIDs, git SHAs, SHA-256 digests, Base64
images, the agents' own ids and signatures, npm integrity hashes and minified
code. The same seed always gives the same corpus.

    PYTHONPATH=build/check python tests/python/secret_corpus.py [--seed 7] [--negatives 20000]

prints recall per rule and the false findings per 10,000 negatives; the tests
assert the goals on a fixed seed (test_secrets.py).
"""

from __future__ import annotations

import argparse
import base64
import json
import random
import string
import sys
from collections import Counter
from dataclasses import dataclass
from typing import Callable

ALNUM = string.ascii_letters + string.digits
URLSAFE = ALNUM + "-_"
BASE64 = ALNUM + "+/"
BASE32 = string.ascii_uppercase + "234567"
HEX = "0123456789abcdef"


def pick(rng: random.Random, alphabet: str, n: int) -> str:
    return "".join(rng.choice(alphabet) for _ in range(n))


def b64url(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


# ---- fake secrets, one maker per rule: the secret as the finding covers it ----


def jwt(rng: random.Random) -> str:
    header = b64url(json.dumps({"alg": rng.choice(["HS256", "RS256"]), "typ": "JWT"}).encode())
    claims = {"sub": pick(rng, ALNUM, 12), "iat": rng.randrange(1_600_000_000, 1_800_000_000)}
    return f"{header}.{b64url(json.dumps(claims).encode())}.{b64url(rng.randbytes(32))}"


def private_key(rng: random.Random) -> str:
    kind = rng.choice(["RSA ", "EC ", "OPENSSH ", ""])
    body = base64.b64encode(rng.randbytes(rng.randrange(120, 400))).decode()
    lines = "\n".join(body[i : i + 64] for i in range(0, len(body), 64))
    return f"-----BEGIN {kind}PRIVATE KEY-----\n{lines}\n-----END {kind}PRIVATE KEY-----"


def db_password(rng: random.Random) -> str:
    return pick(rng, ALNUM, rng.randrange(3, 8)) + pick(rng, ALNUM + "!~*", rng.randrange(6, 20))


MAKERS: dict[str, Callable[[random.Random], str]] = {
    "anthropic-api-key": lambda r: f"sk-ant-{r.choice(['api03', 'admin01'])}-{pick(r, URLSAFE, 91)}AA",
    "openai-api-key": lambda r: r.choice(
        [
            f"sk-{r.choice(['proj', 'svcacct', 'admin'])}-{pick(r, URLSAFE, 120)}{pick(r, ALNUM, 4)}",
            f"sk-{pick(r, ALNUM, 20)}T3BlbkFJ{pick(r, ALNUM, 20)}",
        ]
    ),
    "huggingface-token": lambda r: "hf_" + pick(r, string.ascii_letters, 34),
    "groq-api-key": lambda r: "gsk_" + pick(r, ALNUM, 52),
    "xai-api-key": lambda r: "xai-" + pick(r, ALNUM, 80),
    "replicate-api-token": lambda r: "r8_" + pick(r, ALNUM, 37),
    "aws-access-key-id": lambda r: r.choice(["AKIA", "ASIA"]) + pick(r, BASE32, 16),
    "google-api-key": lambda r: "AIza" + pick(r, URLSAFE, 34) + pick(r, ALNUM, 1),
    "github-token": lambda r: r.choice(
        [f"gh{r.choice('pousr')}_{pick(r, ALNUM, 36)}", f"github_pat_{pick(r, ALNUM, 22)}_{pick(r, ALNUM, 59)}"]
    ),
    "gitlab-token": lambda r: r.choice(["glpat-", "gldt-", "glrt-", "glcbt-", "glptt-"]) + pick(r, URLSAFE, 19) + pick(r, ALNUM, 1),
    "npm-token": lambda r: "npm_" + pick(r, ALNUM, 36),
    "pypi-token": lambda r: "pypi-AgEIcHlwaS5vcmc" + pick(r, URLSAFE, r.randrange(60, 160)),
    "slack-token": lambda r: f"xox{r.choice('bpa')}-{pick(r, string.digits, 11)}-{pick(r, string.digits, 12)}-{pick(r, ALNUM, 24)}",
    "slack-webhook": lambda r: f"https://hooks.slack.com/services/T{pick(r, BASE32, 8)}/B{pick(r, BASE32, 10)}/{pick(r, ALNUM, 24)}",
    "discord-webhook": lambda r: f"https://discord.com/api/webhooks/{pick(r, string.digits, 19)}/{pick(r, URLSAFE, 67)}{pick(r, ALNUM, 1)}",
    "stripe-key": lambda r: r.choice(
        [f"{r.choice(['sk', 'rk'])}_{r.choice(['live', 'test'])}_{pick(r, ALNUM, r.randrange(24, 99))}", "whsec_" + pick(r, ALNUM, 32)]
    ),
    "private-key": private_key,
    "jwt": jwt,
}

# Rules whose secret only its context defines: the context is the maker's.
CONTEXT_RULES: dict[str, Callable[[random.Random], tuple[str, str]]] = {
    "aws-secret-access-key": lambda r: (s := pick(r, BASE64, 40), f"aws_secret_access_key = {s}"),
    "azure-storage-key": lambda r: (
        s := pick(r, BASE64, 86) + "==",
        f"DefaultEndpointsProtocol=https;AccountName=logs{r.randrange(99)};AccountKey={s};EndpointSuffix=core.windows.net",
    ),
    "database-url-password": lambda r: (
        s := db_password(r),
        f"{r.choice(['postgres', 'postgresql', 'mysql', 'mongodb+srv', 'redis', 'amqps'])}://{pick(r, string.ascii_lowercase, 6)}:{s}@db{r.randrange(9)}.internal:5432/app",
    ),
    "discord-bot-token": lambda r: (
        s := f"{r.choice('MNO')}{pick(r, ALNUM, 25)}.{pick(r, URLSAFE, 6)}.{pick(r, URLSAFE, 37)}{pick(r, ALNUM, 1)}",
        f"Authorization: Bot {s}",
    ),
}

# Named-value rules: not issuer-defined, measured but held to no goal.
ASSIGNMENT_RULES: dict[str, Callable[[random.Random], tuple[str, str]]] = {
    "secret-assignment": lambda r: (
        s := pick(r, ALNUM, 6) + pick(r, string.digits, 2) + pick(r, ALNUM, r.randrange(8, 24)),
        f"{r.choice(['DB_PASSWORD', 'client_secret', 'apiKey', 'SERVICE_TOKEN'])}={s}",
    ),
    "bearer-token": lambda r: (s := pick(r, ALNUM, 30) + pick(r, string.digits, 2), f"Bearer {s}"),
}

CONTEXTS: dict[str, Callable[[random.Random, str, str], str]] = {
    "shell export": lambda r, s, line: f"export {r.choice(['API_KEY', 'TOKEN', 'CRED'])}_{r.randrange(9)}={s}\n"
    if line == s
    else f"export {line}\n",
    "json config": lambda r, s, line: json.dumps({"name": "svc", "env": {"VALUE": line}, "port": 8080}),
    "curl header": lambda r, s, line: f"curl -sS https://api.example.test/v1/items -H 'X-Key: {line}' -d '{{}}'"
    if line == s
    else f"curl -sS https://api.example.test/v1 -H '{line}'",
    "env file": lambda r, s, line: f"# local settings\nDEBUG=1\nKEY_{r.randrange(99)}={line}\nPORT=3000\n"
    if line == s
    else f"# local settings\nDEBUG=1\n{line}\nPORT=3000\n",
    "stack trace": lambda r, s, line: "Traceback (most recent call last):\n  File \"app.py\", line 12, in <module>\n"
    f"    client = Client({line!r})\nValueError: credential rejected\n",
    "codex record": lambda r, s, line: json.dumps(
        {"type": "response_item", "payload": {"type": "function_call_output", "call_id": "call_" + pick(r, ALNUM, 24), "output": f"$ cat .env\n{line}\n"}}
    ),
    "claude record": lambda r, s, line: json.dumps(
        {"type": "user", "uuid": "0f8fad5b-d9cb-469f-a165-70867728950e", "message": {"role": "user", "content": [{"type": "tool_result", "tool_use_id": "toolu_01" + pick(r, ALNUM, 22), "content": line}]}}
    ),
}


@dataclass
class Positive:
    rule: str
    context: str
    text: str
    secret: str


def positives(seed: int, per_context: int) -> list[Positive]:
    rng = random.Random(seed)
    out = []
    all_rules = {name: (lambda r, m=maker: (s := m(r), s)) for name, maker in MAKERS.items()}
    all_rules.update(CONTEXT_RULES)
    all_rules.update(ASSIGNMENT_RULES)
    for rule, make in all_rules.items():
        for context, place in CONTEXTS.items():
            for _ in range(per_context):
                secret, line = make(rng)
                text = place(rng, secret, line)
                # Where the text quotes the secret (JSON escapes a newline),
                # the finding is the secret as written there.
                quoted = secret if secret in text else json.dumps(secret)[1:-1]
                out.append(Positive(rule, context, text, quoted))
    return out


def negatives(seed: int, count: int) -> list[str]:
    rng = random.Random(seed + 1)
    makers: list[Callable[[], str]] = [
        lambda: f"session {rng.randbytes(16).hex()[:8]}-{rng.randbytes(2).hex()}-4{rng.randbytes(2).hex()[1:]}-a{rng.randbytes(2).hex()[1:]}-{rng.randbytes(6).hex()}",
        lambda: f"commit {rng.randbytes(20).hex()}\nAuthor: dev <dev@example.test>",
        lambda: f"sha256:{rng.randbytes(32).hex()}  dist/app.tar.gz",
        lambda: f'{{"source_file_sha256": "{rng.randbytes(32).hex()}", "event_id": "{rng.randbytes(16).hex()}"}}',
        lambda: f'<img src="data:image/png;base64,{base64.b64encode(rng.randbytes(rng.randrange(300, 3000))).decode()}">',
        lambda: json.dumps({"type": "thinking", "thinking": "…", "signature": base64.b64encode(rng.randbytes(300)).decode()}),
        lambda: json.dumps({"id": "msg_01" + pick(rng, ALNUM, 22), "requestId": "req_011C" + pick(rng, ALNUM, 20), "tool_use_id": "toolu_01" + pick(rng, ALNUM, 22)}),
        lambda: json.dumps({"type": "reasoning", "encrypted_content": "gAAAAAB" + b64url(rng.randbytes(400))}),
        lambda: json.dumps({"call_id": "call_" + pick(rng, ALNUM, 24), "turn_id": str(rng.randrange(10**6))}),
        lambda: f'"integrity": "sha512-{base64.b64encode(rng.randbytes(64)).decode()}"',
        lambda: "function " + pick(rng, string.ascii_letters, 2) + "(e,t){var n=e." + pick(rng, ALNUM, 30)
        + ".split(\".\");return t.apiKey=n[0]," + f"t.token=e.{pick(rng, string.ascii_letters, 12)}(t),t}}",
        lambda: f"const {pick(rng, string.ascii_letters, 26)}=require(\"./{pick(rng, string.ascii_lowercase, 8)}\");",
        lambda: "password=${DB_PASSWORD} token=$(cat ~/.token) api_key: process.env.OPENAI_API_KEY",
        lambda: f'{{"input_tokens": {rng.randrange(10**5)}, "cache_read_input_tokens": {rng.randrange(10**5)}, "tokenizer": "cl100k_base"}}',
        lambda: f"postgres://app:{rng.choice(['password', '<password>', '${PGPASS}', '****'])}@localhost:5432/db",
        lambda: f"Bearer {rng.choice(['$TOKEN', '<token>', '${{ secrets.API }}'])}",
        lambda: f"/home/dev/.cache/{pick(rng, ALNUM, 40)}/{pick(rng, HEX, 64)}.json",
        lambda: f"https://github.com/org/repo/blob/{rng.randbytes(20).hex()}/src/{pick(rng, string.ascii_lowercase, 10)}.ts#L{rng.randrange(999)}",
    ]
    return [rng.choice(makers)() for _ in range(count)]


@dataclass
class Measurement:
    recall: dict[str, tuple[int, int]]  # rule: (found, planted)
    false_findings: Counter[str]  # rule: findings on negatives
    negatives: int

    def per_10000(self) -> float:
        return sum(self.false_findings.values()) * 10000 / self.negatives


def measure(find: Callable[[list[str]], list[list[dict]]], seed: int, per_context: int, negative_count: int) -> Measurement:
    planted = positives(seed, per_context)
    found = find([p.text for p in planted])
    recall: dict[str, list[int]] = {}
    for p, findings in zip(planted, found):
        counts = recall.setdefault(p.rule, [0, 0])
        counts[1] += 1
        start = p.text.find(p.secret)
        counts[0] += any(f["rule"] == p.rule and f["offset"] == start and f["length"] == len(p.secret) for f in findings)
    false_findings: Counter[str] = Counter()
    for findings in find(negatives(seed, negative_count)):
        false_findings.update(f["rule"] for f in findings)
    return Measurement({rule: (c[0], c[1]) for rule, c in recall.items()}, false_findings, negative_count)


def main(argv: list[str]) -> int:
    import tracequill

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--per-context", type=int, default=20)
    parser.add_argument("--negatives", type=int, default=20000)
    args = parser.parse_args(argv)
    m = measure(tracequill.Timeline._find_secrets, args.seed, args.per_context, args.negatives)
    for rule, (found, planted) in sorted(m.recall.items()):
        print(f"{rule:<24} {found:>5}/{planted:<5} {found / planted:7.2%}")
    print(f"false findings: {sum(m.false_findings.values())} in {m.negatives} negatives "
          f"({m.per_10000():.2f} per 10,000) {dict(m.false_findings)}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
