"""Passwords (scrypt) and tokens (JWT, HS256, the user's id as subject)."""

from __future__ import annotations

import asyncio
import base64
import datetime as dt
import hashlib
import hmac
import secrets

import jwt

# scrypt at 16 MiB and about 50 ms a hash; the parameters are stored with each hash.
_N, _R, _P = 2**14, 8, 1
TOKEN_LIFETIME = dt.timedelta(days=30)


def _scrypt(password: str, salt: bytes, n: int, r: int, p: int) -> bytes:
    return hashlib.scrypt(password.encode(), salt=salt, n=n, r=r, p=p, maxmem=2 * 128 * r * n + 2**20, dklen=32)


def _b64(raw: bytes) -> str:
    return base64.b64encode(raw).decode()


async def hash_password(password: str) -> str:
    salt = secrets.token_bytes(16)
    key = await asyncio.to_thread(_scrypt, password, salt, _N, _R, _P)
    return f"scrypt${_N}${_R}${_P}${_b64(salt)}${_b64(key)}"


async def check_password(password: str, stored: str) -> bool:
    try:
        scheme, n, r, p, salt, key = stored.split("$")
        if scheme != "scrypt":
            return False
        found = await asyncio.to_thread(_scrypt, password, base64.b64decode(salt), int(n), int(r), int(p))
    except ValueError:
        return False
    return hmac.compare_digest(found, base64.b64decode(key))


def issue_token(user_id: int, secret: str) -> str:
    now = dt.datetime.now(dt.timezone.utc)
    return jwt.encode({"sub": str(user_id), "iat": now, "exp": now + TOKEN_LIFETIME}, secret, algorithm="HS256")


def token_subject(token: str, secret: str) -> int | None:
    """The user id a valid token names, or None."""
    try:
        claims = jwt.decode(token, secret, algorithms=["HS256"], options={"require": ["sub", "exp"]})
        return int(claims["sub"])
    except (jwt.InvalidTokenError, ValueError, TypeError):
        return None
