"""Search-box text as FTS5 queries. FTS5 reads its MATCH argument as a query
language (AND, OR, NOT, NEAR, column filters, `*`, `^`, quotes), where a user's
"c++" or "don't" is a syntax error; the other engines' plain and phrase modes
take words. Here each mode becomes an FTS5 query that means what it means on
PostgreSQL: plain and phrase quote every word, websearch reads quoted phrases,
`or` and `-word` as websearch_to_tsquery does, and boolean is FTS5's own syntax.
"""

from __future__ import annotations

def _quoted(word: str) -> str:
    return '"' + word.replace('"', '""') + '"'


def plain(text: str) -> str:
    """Every word must occur, in any order; no word is syntax."""
    return " ".join(_quoted(w) for w in text.split()) or '""'


def phrase(text: str) -> str:
    """The words next to each other, in order."""
    return _quoted(" ".join(text.split()))


def websearch(text: str) -> str:
    """Quoted phrases, `or` between alternatives, `-` before a word or phrase
    to exclude it; everything else is a word that must occur. Exclusions with
    nothing to exclude them from match nothing (FTS5's NOT is binary)."""
    groups: list[list[str]] = [[]]
    excluded: list[str] = []
    i, n = 0, len(text)
    while i < n:
        if text[i].isspace():
            i += 1
            continue
        negate = text[i] == "-" and i + 1 < n and not text[i + 1].isspace()
        if negate:
            i += 1
        if text[i] == '"':
            end = text.find('"', i + 1)
            end = n if end < 0 else end
            words, i = text[i + 1:end].split(), end + 1
            if not words:
                continue
            term = _quoted(" ".join(words))
        else:
            start = i
            while i < n and not text[i].isspace() and text[i] != '"':
                i += 1
            word = text[start:i]
            if word.lower() == "or" and not negate:
                groups.append([])
                continue
            term = _quoted(word)
        (excluded if negate else groups[-1]).append(term)
    alternatives = [" AND ".join(g) for g in groups if g]
    if not alternatives:
        return '""'
    query = " OR ".join(f"({a})" for a in alternatives) if len(alternatives) > 1 else alternatives[0]
    if excluded:
        query = f"({query}) NOT ({' OR '.join(excluded)})"
    return query


def for_mode(op: str, text: str) -> str:
    """The FTS5 query of a match operator's text; boolean text is passed as written."""
    if op == "match":
        return plain(text)
    if op == "match_phrase":
        return phrase(text)
    if op == "match_websearch":
        return websearch(text)
    return text
