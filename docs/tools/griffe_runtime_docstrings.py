"""Griffe extension: the reference takes its signatures from the type stubs and its text
from the docstrings of the built module, so it says what `help()` says.

The stubs give every signature with its types, but they write what the three trees share
once, on private bases, and leave methods with overloads without an implementation,
which griffe would drop. The module itself has a docstring for each method of each class.
So for every public class of `_sferix`, each public method of the running class becomes a
member of the stub class (overloads and all) with the running method's docstring. A name
the module has and the stubs lack, or a module that cannot be imported, is an error: the
strict build fails rather than leave something out.
"""

from __future__ import annotations

import importlib
import inspect
import re
from typing import Any

import griffe

logger = griffe.get_logger("sferix.docs")

# Special methods that stand for operations a user writes (len(tree), tree[i]).
SHOWN_SPECIAL = ("__len__", "__getitem__")


def public_names(cls: type) -> list[str]:
    return sorted(name for name in vars_of(cls) if not name.startswith("_") or name in SHOWN_SPECIAL)


def vars_of(cls: type) -> set[str]:
    names: set[str] = set()
    for klass in cls.__mro__:
        if klass is object or klass.__module__ == "builtins":
            continue
        names.update(vars(klass))
    return names


def stub_member(stub: griffe.Class, name: str) -> griffe.Object | None:
    """The stub's member `name` on the class or its stub-only bases; a function known only
    by its overloads becomes one whose signature is the most general (last) overload."""
    for klass in (stub, *stub.mro()):
        if name in klass.members:
            return klass.members[name]
        overloads = klass.overloads.get(name)
        if overloads:
            last = overloads[-1]
            function = griffe.Function(
                name,
                lineno=last.lineno,
                endlineno=last.endlineno,
                parameters=last.parameters,
                returns=last.returns,
                decorators=[d for d in last.decorators if "overload" not in str(d.value)],
                parent=klass,
            )
            # The last overload is the signature shown; the others are listed above it.
            function.overloads = list(overloads[:-1])
            return function
    return None


def geometry_type(stub: griffe.Class) -> str | None:
    """The geometry class a tree's stub binds its base's type variable to."""
    for base in stub.bases:
        match = re.fullmatch(r"_GeodeticTree\[(\w+)\]", str(base))
        if match:
            return match.group(1)
    return None


def bound(annotation: Any, geometry: str | None, owner: str) -> Any:
    """`annotation` with the type variable _G replaced by the tree's geometry class and
    Self by the class itself."""
    text = str(annotation)
    if annotation is None or not re.search(r"\b(_G|Self)\b", text):
        return annotation
    if geometry is not None:
        text = re.sub(r"\b_G\b", geometry, text)
    return re.sub(r"\bSelf\b", owner, text)


def own_copy(member: griffe.Object, parent: griffe.Class, doc: str | None) -> griffe.Object:
    """`member` as the concrete class's own, with the running docstring."""
    if isinstance(member, griffe.Function):
        geometry = geometry_type(parent)
        copy: griffe.Object = griffe.Function(
            member.name,
            lineno=member.lineno,
            endlineno=member.endlineno,
            parameters=member.parameters,
            returns=bound(member.returns, geometry, parent.name),
            decorators=member.decorators,
            parent=parent,
        )
        copy.overloads = member.overloads
    else:
        copy = griffe.Attribute(
            member.name, lineno=member.lineno, endlineno=member.endlineno, parent=parent,
            value=getattr(member, "value", None), annotation=getattr(member, "annotation", None),
        )
    copy.labels = set(member.labels)
    if doc:
        copy.docstring = griffe.Docstring(inspect.cleandoc(doc), parent=copy)
    elif member.docstring is not None:
        copy.docstring = griffe.Docstring(member.docstring.value, parent=copy)
    return copy


class RuntimeDocstrings(griffe.Extension):
    def on_package(self, *, pkg: griffe.Module, **kwargs: Any) -> None:
        if pkg.name != "_sferix":
            return
        try:
            runtime = importlib.import_module("_sferix")
        except ImportError as error:
            logger.error("the reference needs the built extension on the path (make docs): %s", error)
            return
        classes = [name for name in runtime.__all__ if isinstance(getattr(runtime, name), type)]
        # PanicException is public under another name; its stub class is private.
        classes.append("_PanicException")
        for name in classes:
            cls = getattr(runtime, name)
            stub = pkg.members.get(name)
            if not isinstance(stub, griffe.Class):
                logger.error("%s is in the module but not in the stubs", name)
                continue
            if cls.__doc__:
                stub.docstring = griffe.Docstring(inspect.cleandoc(cls.__doc__), parent=stub)
            for attribute in public_names(cls) if issubclass(cls, BaseException) is False else []:
                member = stub_member(stub, attribute)
                if member is None:
                    logger.error("%s.%s is in the module but not in the stubs", name, attribute)
                    continue
                stub.set_member(attribute, own_copy(member, stub, getattr(cls, attribute).__doc__))
            self.order(stub)
            constructor = stub.members.get("__new__")
            if isinstance(constructor, griffe.Function):
                # Shown as the class's own signature: GeodeticPointTree(data).
                init = griffe.Function("__init__", lineno=constructor.lineno, endlineno=constructor.endlineno,
                                       parameters=constructor.parameters, parent=stub)
                stub.set_member("__init__", init)

    @staticmethod
    def order(stub: griffe.Class) -> None:
        """What the trees share first, then the class's own methods, then storage, then
        len() and indexing."""
        def rank(item: tuple[str, griffe.Object]) -> tuple[int, int]:
            name, member = item
            origin = next((k for k in (*stub.mro(), stub) if k.lineno is not None and
                           k.lineno <= (member.lineno or 0) <= (k.endlineno or 0)), stub)
            group = 2 if origin.name == "_Storable" else 1 if origin is stub else 0
            if name in SHOWN_SPECIAL:
                group = 3
            return group, member.lineno or 0
        members = sorted(stub.members.items(), key=rank)
        stub.members.clear()
        stub.members.update(members)
