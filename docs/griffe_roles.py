"""A griffe extension for the API reference: the package's docstrings as Markdown.

The package's docstrings use two habits of Sphinx that Markdown does not know:
cross-references written as roles (:class:`Client`, :data:`DEFAULT_TIMEOUT`),
and ``#:`` comments above a module constant as its documentation. This turns
each role into a link to the object's entry in the reference when it has one
there, else into code, and gives each constant its ``#:`` comment as docstring.
The package itself stays as it is: its docstrings read well in ``help()``.
"""

from __future__ import annotations

import re
from collections.abc import Iterator
from typing import Any

import griffe

# Roles as the package writes them: "~" shows the last name only, and
# "title <target>" shows the title.
_ROLE = re.compile(
    r":(?:class|meth|func|data|attr|mod|exc|obj):`(~?)(?:([^`<]*?)\s*<([\w.]+)>|([\w.]+))`"
)


def _objects(obj: griffe.Object) -> Iterator[griffe.Object]:
    yield obj
    for member in obj.members.values():
        if not member.is_alias:
            yield from _objects(member)  # type: ignore[arg-type]


def _comment_above(attribute: griffe.Object) -> str | None:
    """The ``#:`` lines right above an attribute, without their markers."""
    lines = attribute.module.lines
    if attribute.lineno is None or not lines:
        return None
    found: list[str] = []
    index = attribute.lineno - 2
    while index >= 0 and lines[index].lstrip().startswith("#:"):
        found.append(lines[index].lstrip()[2:].strip())
        index -= 1
    return " ".join(reversed(found)) or None


class SphinxRoles(griffe.Extension):
    """Links for Sphinx roles and docstrings from ``#:`` comments."""

    def on_package(self, *, pkg: griffe.Module, **kwargs: Any) -> None:
        objects = list(_objects(pkg))
        for obj in objects:
            if obj.is_attribute and obj.docstring is None:
                text = _comment_above(obj)
                if text is not None:
                    obj.docstring = griffe.Docstring(text, parent=obj)
        for obj in objects:
            if obj.docstring is not None:
                obj.docstring.value = _with_links(obj, obj.docstring.value)


def _with_links(scope: griffe.Object, text: str) -> str:
    def link(match: re.Match[str]) -> str:
        short, title, titled, bare = match.groups()
        target = titled or bare
        shown = title or (target.rsplit(".", 1)[-1] if short else target)
        found = _resolve(scope, target)
        path = None if found is None else _reference_path(found)
        return f"`{shown}`" if path is None else f"[`{shown}`][{path}]"

    return _ROLE.sub(link, text)


def _resolve(scope: griffe.Object, target: str) -> griffe.Object | None:
    """The object a role names, looked up as Python would from ``scope``."""
    first, _, rest = target.partition(".")
    place: griffe.Object | None = scope
    while place is not None:
        if first in place.members:
            found: Any = place.members[first]
            break
        place = place.parent
    else:
        root = scope.package
        if first != root.name:
            return None
        found = root
    try:
        for name in rest.split(".") if rest else ():
            found = found.final_target if found.is_alias else found
            found = found.members[name]
        return found.final_target if found.is_alias else found  # type: ignore[no-any-return]
    except (KeyError, griffe.AliasResolutionError, griffe.CyclicAliasError):
        return None


# The modules that the reference pages render.
_RENDERED = {
    "quillon_bo.auth",
    "quillon_bo.client",
    "quillon_bo.config",
    "quillon_bo.core",
    "quillon_bo.errors",
    "quillon_bo.executor",
    "quillon_bo.requests_auth",
    "quillon_bo.stores",
    "quillon_bo.testing",
    "quillon_bo.tokens",
}


def _reference_path(obj: griffe.Object) -> str | None:
    """Where the reference shows ``obj``, so that a link to it resolves; None
    when it does not show it."""
    if obj.is_module:
        return obj.path if obj.path in _RENDERED else None
    if obj.docstring is None:
        return None
    names = obj.path[len(obj.module.path) + 1 :].split(".")
    if any(name.startswith("_") for name in names):
        return None
    if obj.module.path in _RENDERED:
        return obj.path
    # A package's page shows what it imports from its private modules
    # (quillon_bo.stores.FileStore, from quillon_bo.stores.file) at its own path.
    package = obj.module.parent
    if package is not None and package.path in _RENDERED:
        exported = package.members.get(names[0])
        source = f"{obj.module.path}.{names[0]}"
        if isinstance(exported, griffe.Alias) and exported.target_path == source:
            return ".".join([package.path, *names])
    return None
