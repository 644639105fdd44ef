/* borrow_peer: a second, independently built user of the shared array borrow
 * registry, for marundex's tests. It reaches the registry only through the
 * capsule's table; when nobody has published one yet it publishes its own,
 * with a plain registry of its own that follows the same conflict rules.
 *
 * Built by the tests with the interpreter's compiler; no NumPy headers. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#define CAPSULE_NAME "_RUST_NUMPY_BORROW_CHECKING_API"

/* The leading fields of NumPy's array object, the same in NumPy 1 and 2. */
typedef struct {
    PyObject_HEAD
    char *data;
    int nd;
    Py_intptr_t *dimensions;
    Py_intptr_t *strides;
    PyObject *base;
    PyObject *descr;
    int flags;
} ArrayHead;

typedef struct {
    uint64_t version;
    void *registry;
    int32_t (*acquire_read)(void *, PyObject *);
    int32_t (*acquire_write)(void *, PyObject *);
    void (*release_read)(void *, PyObject *);
    void (*release_write)(void *, PyObject *);
} Table;

typedef struct {
    const void *base;
    uintptr_t start, end, data;
    int64_t gcd;
    int64_t count; /* > 0 readers, -1 one writer */
} Record;

typedef struct {
    pthread_mutex_t lock;
    Record *records;
    size_t length, capacity;
} Registry;

typedef struct {
    Table table;
    Registry registry;
    char name[sizeof CAPSULE_NAME];
} Owned;

static Table *table_in_use;          /* set once, atomically */
static PyTypeObject *ndarray_type;   /* set before table_in_use */
static int created_here;

/* --- the registry of our own ------------------------------------------------- */

static uint64_t magnitude(int64_t v) { return v < 0 ? ~(uint64_t)v + 1 : (uint64_t)v; }

static uint64_t gcd_u(uint64_t a, uint64_t b) {
    while (b != 0) {
        uint64_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

static const void *base_of(PyObject *array) {
    PyObject *current = array;
    for (;;) {
        PyObject *base = ((ArrayHead *)current)->base;
        if (base == NULL) return current;
        while (PyMemoryView_Check(base) && PyMemoryView_GET_BUFFER(base)->obj != NULL)
            base = PyMemoryView_GET_BUFFER(base)->obj;
        if (!PyObject_TypeCheck(base, ndarray_type)) return base;
        current = base;
    }
}

static Record key_of(PyObject *array) {
    ArrayHead *a = (ArrayHead *)array;
    Record r;
    r.base = base_of(array);
    r.data = (uintptr_t)a->data;
    r.count = 0;
    if (a->nd <= 0) {
        r.start = r.end = r.data;
        r.gcd = 1;
        return r;
    }
    uint64_t g = 0;
    for (int i = 0; i < a->nd; i++) g = gcd_u(g, magnitude(a->strides[i]));
    r.gcd = a->nd == 1 ? (int64_t)a->strides[0] : (int64_t)g;
    uint64_t below = 0, above = 0;
    for (int i = 0; i < a->nd; i++) {
        if (a->dimensions[i] == 0) {
            r.start = r.end = r.data;
            return r;
        }
        uint64_t off = (uint64_t)(a->dimensions[i] - 1) * (uint64_t)a->strides[i];
        if (a->strides[i] < 0) below += off; else above += off;
    }
    long itemsize = 1;
    PyObject *size = PyObject_GetAttrString(array, "itemsize");
    if (size != NULL) {
        itemsize = PyLong_AsLong(size);
        Py_DECREF(size);
    }
    if (PyErr_Occurred()) {
        PyErr_Clear();
        itemsize = 1;
    }
    r.start = r.data + below;
    r.end = r.data + above + (uint64_t)itemsize;
    return r;
}

static int same_key(const Record *a, const Record *b) {
    return a->base == b->base && a->start == b->start && a->end == b->end && a->data == b->data &&
           a->gcd == b->gcd;
}

static int conflict(const Record *k, const Record *o) {
    if (o->start >= k->end || k->start >= o->end) return 0;
    uint64_t d = k->data > o->data ? k->data - o->data : o->data - k->data;
    uint64_t g = gcd_u(magnitude(k->gcd), magnitude(o->gcd));
    return g == 0 || d % g == 0;
}

static Record *find(Registry *r, const Record *k) {
    for (size_t i = 0; i < r->length; i++)
        if (same_key(&r->records[i], k)) return &r->records[i];
    return NULL;
}

static void add(Registry *r, Record k, int64_t count) {
    if (r->length == r->capacity) {
        size_t capacity = r->capacity ? 2 * r->capacity : 16;
        Record *grown = realloc(r->records, capacity * sizeof *grown);
        if (grown == NULL) abort();
        r->records = grown;
        r->capacity = capacity;
    }
    k.count = count;
    r->records[r->length++] = k;
}

static void drop(Registry *r, Record *rec) { *rec = r->records[--r->length]; }

static int32_t own_acquire_read(void *registry, PyObject *array) {
    Registry *r = registry;
    Record k = key_of(array);
    int32_t code = 0;
    pthread_mutex_lock(&r->lock);
    Record *same = find(r, &k);
    if (same != NULL) {
        if (same->count < 0 || same->count == INT64_MAX) code = -1; else same->count++;
    } else {
        for (size_t i = 0; i < r->length && code == 0; i++) {
            Record *o = &r->records[i];
            if (o->base == k.base && o->count < 0 && conflict(&k, o)) code = -1;
        }
        if (code == 0) add(r, k, 1);
    }
    pthread_mutex_unlock(&r->lock);
    return code;
}

static int32_t own_acquire_write(void *registry, PyObject *array) {
    Registry *r = registry;
    if ((((ArrayHead *)array)->flags & 0x0400) == 0) return -2;
    Record k = key_of(array);
    int32_t code = 0;
    pthread_mutex_lock(&r->lock);
    for (size_t i = 0; i < r->length && code == 0; i++) {
        Record *o = &r->records[i];
        if (o->base == k.base && (same_key(o, &k) || conflict(&k, o))) code = -1;
    }
    if (code == 0) add(r, k, -1);
    pthread_mutex_unlock(&r->lock);
    return code;
}

static void own_release_read(void *registry, PyObject *array) {
    Registry *r = registry;
    Record k = key_of(array);
    pthread_mutex_lock(&r->lock);
    Record *rec = find(r, &k);
    if (rec != NULL && rec->count > 0 && --rec->count == 0) drop(r, rec);
    pthread_mutex_unlock(&r->lock);
}

static void own_release_write(void *registry, PyObject *array) {
    Registry *r = registry;
    Record k = key_of(array);
    pthread_mutex_lock(&r->lock);
    Record *rec = find(r, &k);
    if (rec != NULL && rec->count == -1) drop(r, rec);
    pthread_mutex_unlock(&r->lock);
}

static void destroy(PyObject *capsule) {
    Owned *owned = PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule));
    if (owned == NULL) {
        PyErr_Clear();
        return;
    }
    pthread_mutex_destroy(&owned->registry.lock);
    free(owned->registry.records);
    free(owned);
}

static PyObject *new_capsule(void) {
    Owned *owned = calloc(1, sizeof *owned);
    if (owned == NULL) return PyErr_NoMemory();
    pthread_mutex_init(&owned->registry.lock, NULL);
    owned->table = (Table){1, &owned->registry, own_acquire_read, own_acquire_write,
                           own_release_read, own_release_write};
    memcpy(owned->name, CAPSULE_NAME, sizeof owned->name);
    PyObject *capsule = PyCapsule_New(&owned->table, owned->name, destroy);
    if (capsule == NULL) free(owned);
    return capsule;
}

/* --- finding the table ---------------------------------------------------------- */

static PyObject *import_multiarray(void) {
    PyObject *numpy = PyImport_ImportModule("numpy");
    if (numpy == NULL) return NULL;
    PyObject *version = PyObject_GetAttrString(numpy, "__version__");
    Py_DECREF(numpy);
    if (version == NULL) return NULL;
    const char *text = PyUnicode_AsUTF8(version);
    int major = text != NULL ? atoi(text) : 0;
    Py_DECREF(version);
    if (text == NULL) return NULL;
    return PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray");
}

static Table *table(void) {
    Table *found = __atomic_load_n(&table_in_use, __ATOMIC_ACQUIRE);
    if (found != NULL) return found;
    PyObject *multiarray = import_multiarray();
    if (multiarray == NULL) return NULL;
    PyObject *type = PyObject_GetAttrString(multiarray, "ndarray");
    if (type == NULL || !PyType_Check(type)) {
        Py_XDECREF(type);
        Py_DECREF(multiarray);
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "numpy has no ndarray type");
        return NULL;
    }
    __atomic_store_n(&ndarray_type, (PyTypeObject *)type, __ATOMIC_RELEASE); /* kept */
    PyObject *capsule = PyObject_GetAttrString(multiarray, CAPSULE_NAME);
    int mine = 0;
    if (capsule == NULL) {
        PyErr_Clear();
        PyObject *made = new_capsule();
        PyObject *key = made != NULL ? PyUnicode_InternFromString(CAPSULE_NAME) : NULL;
        if (key == NULL) {
            Py_XDECREF(made);
            Py_DECREF(multiarray);
            return NULL;
        }
        /* Attach only if absent, in one step; adopt whatever is there. */
        capsule = PyDict_SetDefault(PyModule_GetDict(multiarray), key, made);
        Py_DECREF(key);
        if (capsule == NULL) {
            Py_DECREF(made);
            Py_DECREF(multiarray);
            return NULL;
        }
        Py_INCREF(capsule);
        mine = capsule == made;
        Py_DECREF(made);
    }
    Py_DECREF(multiarray);
    if (!PyCapsule_CheckExact(capsule)) {
        Py_DECREF(capsule);
        PyErr_SetString(PyExc_TypeError, "the borrow checking attribute is not a capsule");
        return NULL;
    }
    const char *name = PyCapsule_GetName(capsule);
    Table *t = PyCapsule_GetPointer(capsule, name);
    if (t == NULL || t->version == 0) {
        Py_DECREF(capsule);
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "unsupported borrow checking table");
        return NULL;
    }
    /* The capsule reference is kept for the process, so the table outlives every use. */
    Table *expected = NULL;
    if (__atomic_compare_exchange_n(&table_in_use, &expected, t, 0, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE)) {
        if (mine) __atomic_store_n(&created_here, 1, __ATOMIC_RELEASE);
        return t;
    }
    return expected;
}

/* --- Python-level functions ----------------------------------------------------------- */

static Table *table_for(PyObject *array) {
    Table *t = table();
    if (t == NULL) return NULL;
    if (!PyObject_TypeCheck(array, __atomic_load_n(&ndarray_type, __ATOMIC_ACQUIRE))) {
        PyErr_SetString(PyExc_TypeError, "expected a NumPy array");
        return NULL;
    }
    return t;
}

static PyObject *py_acquire_read(PyObject *self, PyObject *array) {
    (void)self;
    Table *t = table_for(array);
    return t == NULL ? NULL : PyLong_FromLong(t->acquire_read(t->registry, array));
}

static PyObject *py_acquire_write(PyObject *self, PyObject *array) {
    (void)self;
    Table *t = table_for(array);
    return t == NULL ? NULL : PyLong_FromLong(t->acquire_write(t->registry, array));
}

static PyObject *py_release_read(PyObject *self, PyObject *array) {
    (void)self;
    Table *t = table_for(array);
    if (t == NULL) return NULL;
    t->release_read(t->registry, array);
    Py_RETURN_NONE;
}

static PyObject *py_release_write(PyObject *self, PyObject *array) {
    (void)self;
    Table *t = table_for(array);
    if (t == NULL) return NULL;
    t->release_write(t->registry, array);
    Py_RETURN_NONE;
}

static PyObject *py_table_address(PyObject *self, PyObject *unused) {
    (void)self;
    (void)unused;
    Table *t = table();
    return t == NULL ? NULL : PyLong_FromVoidPtr(t);
}

static PyObject *py_created(PyObject *self, PyObject *unused) {
    (void)self;
    (void)unused;
    return PyBool_FromLong(__atomic_load_n(&table_in_use, __ATOMIC_ACQUIRE) != NULL &&
                           __atomic_load_n(&created_here, __ATOMIC_ACQUIRE));
}

/* Live records of our own registry, or -1 when the table in use is another's. */
static PyObject *py_live_borrows(PyObject *self, PyObject *unused) {
    (void)self;
    (void)unused;
    Table *t = table();
    if (t == NULL) return NULL;
    if (!__atomic_load_n(&created_here, __ATOMIC_ACQUIRE)) return PyLong_FromLong(-1);
    Registry *r = t->registry;
    pthread_mutex_lock(&r->lock);
    size_t n = r->length;
    pthread_mutex_unlock(&r->lock);
    return PyLong_FromSize_t(n);
}

static PyMethodDef methods[] = {
    {"acquire_read", py_acquire_read, METH_O, NULL},
    {"acquire_write", py_acquire_write, METH_O, NULL},
    {"release_read", py_release_read, METH_O, NULL},
    {"release_write", py_release_write, METH_O, NULL},
    {"table_address", py_table_address, METH_NOARGS, NULL},
    {"created", py_created, METH_NOARGS, NULL},
    {"live_borrows", py_live_borrows, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef definition = {PyModuleDef_HEAD_INIT, "borrow_peer", NULL, 0, methods,
                                        NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_borrow_peer(void) {
    PyObject *m = PyModule_Create(&definition);
#ifdef Py_GIL_DISABLED
    if (m != NULL && PyUnstable_Module_SetGIL(m, Py_MOD_GIL_NOT_USED) < 0) {
        Py_DECREF(m);
        return NULL;
    }
#endif
    return m;
}
