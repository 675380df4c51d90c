"""Reference strides, counted in elements, for checking result layouts. A
shape with an extent 0 has all strides 0."""


def row_major_strides(shape):
    if 0 in shape:
        return [0] * len(shape)
    strides, step = [], 1
    for extent in reversed(shape):
        strides.append(step)
        step *= extent
    return strides[::-1]


def column_major_strides(shape):
    return row_major_strides(list(shape)[::-1])[::-1]
