"""Which inputs are hashed together by one hash_many call, and which are streamed."""

from __future__ import annotations

from typing import Generic, Iterable, Iterator, List, Tuple, TypeVar, Union

from .hashers import Hasher
from .messages import InputError
from .progress import Progress
from .reading import STDIN_NAME, known_size, open_input, read_block

Tag = TypeVar("Tag")

# Bounds of one hash_many call: few enough inputs that output keeps coming, few
# enough bytes that memory stays small. An input shorter than a block may take
# the bytes one block past the bound.
GROUP_ITEMS = 256
GROUP_BYTES = 4 << 20


class _Group(Generic[Tag]):
    """Inputs waiting for one hash_many call, and the errors among them, in order."""

    def __init__(self, hasher: Hasher) -> None:
        self._hasher = hasher
        self._entries: List[Tuple[Tag, Union[bytes, InputError]]] = []
        self._bytes = 0

    def add(self, tag: Tag, item: Union[bytes, InputError]) -> None:
        """Adds bytes to hash, or the error that stands in for an input."""
        if isinstance(item, bytes):
            try:
                item = self._hasher.fit(item)
            except InputError as exc:
                item = exc
            else:
                self._bytes += len(item)
        self._entries.append((tag, item))

    @property
    def full(self) -> bool:
        return len(self._entries) >= GROUP_ITEMS or self._bytes >= GROUP_BYTES

    def flush(self) -> Iterator[Tuple[Tag, Union[bytes, InputError]]]:
        entries, self._entries, self._bytes = self._entries, [], 0
        digests = iter(self._hasher.digest_many([item for _, item in entries if isinstance(item, bytes)]))
        for tag, item in entries:
            yield tag, next(digests) if isinstance(item, bytes) else item


def digests(
    hasher: Hasher, sources: Iterable[Tuple[Tag, Union[bytes, str]]]
) -> Iterator[Tuple[Tag, Union[bytes, InputError]]]:
    """The digest of each source, or the error that stopped it, in the order given.

    A source is bytes to hash, or the name of a file (STDIN_NAME: standard
    input). Inputs shorter than a block wait in a group for one hash_many
    call; a longer one is streamed once the group before it is done, so the
    order holds."""
    group: _Group[Tag] = _Group(hasher)
    for tag, source in sources:
        # Standard input may wait for a person at a terminal, who should see the digests already known.
        if group.full or (isinstance(source, str) and source == STDIN_NAME):
            yield from group.flush()
        if isinstance(source, bytes):
            group.add(tag, source)
            continue
        streamed = False
        try:
            with open_input(source) as stream:
                first = hasher.first_read
                head = read_block(stream, first)
                if len(head) < first or hasher.bits is not None:  # all of it, or all that is hashed: grouped
                    group.add(tag, head)
                    continue
                yield from group.flush()
                streamed = True
                with Progress(source, known_size(stream)) as progress:
                    result: Union[bytes, InputError] = hasher.digest_stream(stream, head, progress)
        except InputError as exc:
            if not streamed:  # its place is behind the inputs waiting in the group
                group.add(tag, exc)
                continue
            result = exc
        yield tag, result
    yield from group.flush()
